#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "build/dir_table.h"
#include "platform/platform.h"
#include "settings/settings.h"

namespace kelvane {

// The old table's lines, read as a stream and kept byte for byte: a line ends at CR LF, LF
// or a lone CR; an empty line is a line; a last line without an ending is a line too.
class OldTableReader {
 public:
  explicit OldTableReader(std::unique_ptr<InputFile> input) : input_(std::move(input)) {}
  // The next line without its ending; false at the end of the file.
  bool next(std::string& line);

 private:
  // Reads more after what is left of the buffer; sets ended_ at the end of the file.
  void fill();

  std::unique_ptr<InputFile> input_;
  std::string buffer_;
  size_t at_ = 0;
  bool ended_ = false;
};

// The new table while the build writes it: "|"-separated entries, every line ended by
// CR LF. Everything goes to the output, which only commit() puts in place of VFS.
class VfsWriter {
 public:
  // Prepares the output for settings.VFS, failing now if it cannot be written. The settings
  // are read now: WhereCreate must already end in the separator.
  VfsWriter(Platform& platform, const Settings& settings);

  void writeOldLine(std::string_view line);
  // The link root without its trailing separator, at the virtual root.
  void writeRootEntry();
  // The folder parents(row) & names(row), at VirtualR/virtGenre(row)names(row).
  void writeMergedEntry(const DirTable& table, size_t row);
  void commit();

 private:
  std::unique_ptr<OutputFile> out_;
  std::string rootPhysical_;
  std::string virtualRoot_;
  std::string tail_;  // "|OwnU|OwnG|CHMOD|r|0|0|0|0|0|0|0|0" CR LF
  std::string line_;  // reused for every entry
};

}  // namespace kelvane
