#pragma once

// Telling a new file from the one it replaces, read in pieces, without writing it for that.

#include <sys/types.h>

#include <string>
#include <string_view>

#include "base/short_hash.h"
#include "posix/posix_support.h"

namespace kelvane::posix {

// The size of the open file fd; named names it in failures, under source.
off_t sizeOf(int fd, const std::string& named, const char* source);

// Up to size bytes of fd from offset at: fewer only where the file ends.
size_t readAt(int fd, char* buffer, size_t size, off_t at, const std::string& named);

// True when the open files a and b hold the same bytes.
bool sameBytes(int a, int b, const std::string& named);

// The bytes of a file that is to replace old, written to out (new and empty) only once they
// differ from old's. Until then each piece is only compared with old's bytes at its place;
// at the first difference the part that matched is copied from old (and found unchanged
// since), then the piece written.
// A rebuild whose file would not change costs one read of the old file, not a write of the
// new one and a read of both.
class WriteUnlessSame {
 public:
  // named: the path failures show. tableSteps: each write is a step of putting a table in
  // place (tableStep).
  WriteUnlessSame(std::string named, bool tableSteps)
      : named_(std::move(named)), tableSteps_(tableSteps) {}
  // old: the file there now; without one every byte is written.
  void compareWith(Descriptor old) { old_ = std::move(old); }
  // The next bytes of the new file.
  void write(int out, std::string_view bytes);
  // True when the bytes given are old's, every one: out then holds none. Otherwise out holds
  // them all.
  bool sameAsOld(int out);

 private:
  void putOut(int out, std::string_view bytes);
  // From here on every byte goes to out, which takes the part of old that matched first.
  void differ(int out);

  std::string named_;
  bool tableSteps_;
  Descriptor old_;
  bool differs_ = false;
  off_t matched_ = 0;  // the bytes given so far, all equal to old's
  WordHash matchedHash_;
  std::string piece_;
};

}  // namespace kelvane::posix
