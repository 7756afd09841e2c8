#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "build/dir_table.h"
#include "platform/platform.h"
#include "settings/settings.h"

namespace kelvane {

// The old table's lines: every field of the file, read under the field reading rule, is one
// line (so a comma splits a line in two and double quotes are lost). Throws
// kelvane::Failure when the file cannot be read.
std::vector<std::string> readOldTable(Platform& platform, const std::string& path);
// The same for the file's bytes; name is the file named in a failure.
std::vector<std::string> parseOldTable(std::string_view bytes, const std::string& name);

// The new table while the build writes it: "|"-separated entries, every line ended by
// CR LF. Everything goes to a temporary file that only commit() puts in place of VFS.
class VfsWriter {
 public:
  // Opens the output for settings.VFS. The settings are read now: WhereCreate must already
  // end in "/".
  VfsWriter(Platform& platform, const Settings& settings);

  void writeOldLines(const std::vector<std::string>& lines);
  // The link root without its trailing "/", at the virtual root.
  void writeRootEntry();
  // The folder parents(row) & names(row), at VirtualR/virtGenre(row)names(row).
  void writeMergedEntry(const DirTable& table, size_t row);
  void commit();

 private:
  void writeEntry(const std::string& physical, const std::string& virtualPath);

  std::unique_ptr<OutputFile> out_;
  std::string rootPhysical_;
  std::string virtualRoot_;
  std::string tail_;  // "|OwnU|OwnG|CHMOD|r|0|0|0|0|0|0|0|0" CR LF
  std::string line_;  // reused for every entry
};

}  // namespace kelvane
