#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dir_table.h"
#include "engine/entry_encoding.h"
#include "platform/platform.h"
#include "settings/settings.h"

namespace kelvane {

// The old table's lines, read as a stream and kept byte for byte: a line ends at CR LF, LF
// or a lone CR; an empty line is a line; a last line without an ending is a line too.
class OldTableReader {
 public:
  // The most a piece of a line holds: what the reader keeps stays about twice this, however
  // long a line is.
  static constexpr size_t kPiece = 64 * 1024;

  explicit OldTableReader(std::unique_ptr<InputFile> input) : input_(std::move(input)) {}
  // The next piece of the current line, without its ending: a line longer than kPiece comes
  // in several, cut between UTF-8 sequences; lineEnded() says whether this one ends it.
  // False at the end of the file.
  bool nextPiece(std::string& piece);
  bool lineEnded() const { return lineEnded_; }
  // The next whole line without its ending; false at the end of the file.
  bool next(std::string& line);
  // Every line returned so far is UTF-8 (or plain ASCII).
  bool allUtf8() const { return allUtf8_; }

 private:
  // Reads more after what is left of the buffer; sets ended_ at the end of the file.
  void fill();

  std::unique_ptr<InputFile> input_;
  std::vector<char> chunk_;  // what one read brings
  std::string buffer_;       // what is read and not yet returned, from at_ on
  size_t at_ = 0;
  size_t scanned_ = 0;  // no line end in buffer_ before this
  bool ended_ = false;
  bool lineEnded_ = true;
  bool allUtf8_ = true;
};

// The new table while the build writes it: "|"-separated entries, every line ended by
// CR LF. Everything goes to the output, which only commit() puts in place of VFS.
class VfsWriter {
 public:
  // Prepares the output for settings.VFS, failing now if it cannot be written. The settings
  // are read now: WhereCreate must already end in the separator.
  VfsWriter(Platform& platform, const Settings& settings);
  // The same, writing to out.
  VfsWriter(std::unique_ptr<OutputFile> out, const Settings& settings);

  // A piece of an old line, and its CR LF when it ends the line.
  void writeOld(std::string_view piece, bool endsLine);
  void writeOldLine(std::string_view line) { writeOld(line, true); }
  // Entries written from now on are in encoding (until then, as they are).
  void encodeEntriesIn(const EntryEncoding& encoding) { encoding_ = &encoding; }
  // The link root without its trailing separator, at the virtual root.
  void writeRootEntry();
  // The folder parents(row) & names(row), at VirtualR/virtGenre(row)names(row).
  void writeMergedEntry(const DirTable& table, size_t row);
  void commit();

 private:
  // Writes line_, an entry, in the entries' encoding.
  void writeEntry();

  std::unique_ptr<OutputFile> out_;
  std::string rootPhysical_;
  std::string virtualRoot_;
  std::string tail_;  // "|OwnU|OwnG|CHMOD|r|0|0|0|0|0|0|0|0" CR LF
  std::string line_;  // reused for every entry
  const EntryEncoding* encoding_ = nullptr;
};

}  // namespace kelvane
