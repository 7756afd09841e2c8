#include "posix/posix_same_bytes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/failure.h"
#include "posix/posix_files.h"
#include "posix/posix_table_journal.h"

namespace kelvane::posix {

namespace {

constexpr size_t kPiece = 64 * 1024;

// As readAt, but on until size bytes or the file's end.
size_t readFully(int fd, char* buffer, size_t size, off_t at, const std::string& named) {
  size_t got = 0;
  while (got < size) {
    size_t n = readAt(fd, buffer + got, size - got, at + static_cast<off_t>(got), named);
    if (n == 0) break;
    got += n;
  }
  return got;
}

}  // namespace

off_t sizeOf(int fd, const std::string& named, const char* source) {
  struct stat st;
  if (::fstat(fd, &st) != 0) throw systemFailure(errno, "Cannot look at", named, source);
  return st.st_size;
}

size_t readAt(int fd, char* buffer, size_t size, off_t at, const std::string& named) {
  for (;;) {
    ssize_t n = ::pread(fd, buffer, size, at);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) throw systemFailure(errno, "Cannot read file", named, "read");
  }
}

bool sameBytes(int a, int b, const std::string& named) {
  off_t size = sizeOf(a, named, "read");
  if (size != sizeOf(b, named, "read")) return false;
  std::string one(kPiece, '\0'), two(kPiece, '\0');
  for (off_t at = 0; at < size;) {
    size_t n = readAt(a, one.data(), kPiece, at, named);
    if (n == 0 || readAt(b, two.data(), n, at, named) != n || one.compare(0, n, two, 0, n) != 0)
      return false;
    at += static_cast<off_t>(n);
  }
  return true;
}

void WriteUnlessSame::write(int out, std::string_view bytes) {
  if (old_.get() >= 0 && !differs_) {
    piece_.resize(bytes.size());
    size_t n = readFully(old_.get(), piece_.data(), bytes.size(), matched_, named_);
    if (n == bytes.size() && std::memcmp(piece_.data(), bytes.data(), n) == 0) {
      matched_ += static_cast<off_t>(n);
      matchedHash_.feed(bytes);
      return;
    }
    differ(out);
  }
  putOut(out, bytes);
}

bool WriteUnlessSame::sameAsOld(int out) {
  if (old_.get() < 0 || differs_) return false;
  if (sizeOf(old_.get(), named_, "read") == matched_) return true;
  differ(out);  // old goes on past the new bytes
  return false;
}

void WriteUnlessSame::putOut(int out, std::string_view bytes) {
  if (tableSteps_) tableStep("write");
  writeAll(out, bytes, named_, "write");
}

void WriteUnlessSame::differ(int out) {
  differs_ = true;
  piece_.resize(kPiece);
  WordHash copied;
  for (off_t at = 0; at < matched_;) {
    size_t want = static_cast<size_t>(std::min<off_t>(matched_ - at, kPiece));
    size_t n = readFully(old_.get(), piece_.data(), want, at, named_);
    std::string_view bytes(piece_.data(), n);
    copied.feed(bytes);
    // Whoever wrote into the file meanwhile must not have put bytes of theirs in the new one.
    if (n < want ||
        (at + static_cast<off_t>(n) == matched_ && copied.value() != matchedHash_.value()))
      throw Failure(ESTALE,
                    "The file \"" + named_ +
                        "\" was changed while the build compared it with the one replacing it",
                    "read", "Build once more");
    putOut(out, bytes);
    at += static_cast<off_t>(n);
  }
  piece_.clear();
  piece_.shrink_to_fit();
}

}  // namespace kelvane::posix
