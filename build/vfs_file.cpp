#include "build/vfs_file.h"

#include "settings/field_reader.h"
#include "settings/number_text.h"

namespace kelvane {

std::vector<std::string> readOldTable(Platform& platform, const std::string& path) {
  return parseOldTable(platform.readFile(path), path);
}

std::vector<std::string> parseOldTable(std::string_view bytes, const std::string& name) {
  FieldReader fields(bytes);
  std::vector<std::string> lines;
  while (!fields.atEnd()) lines.push_back(fields.next(name));
  return lines;
}

VfsWriter::VfsWriter(Platform& platform, const Settings& settings)
    : out_(platform.createOutput(settings.VFS)),
      rootPhysical_(settings.WhereCreate.substr(
          0, settings.WhereCreate.empty() ? 0 : settings.WhereCreate.size() - 1)),
      virtualRoot_(settings.VirtualR),
      tail_("|" + settings.OwnU + "|" + settings.OwnG + "|" + numberText(settings.CHMOD) +
            "|r|0|0|0|0|0|0|0|0\r\n") {}

void VfsWriter::writeOldLines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    line_.assign(line).append("\r\n");
    out_->write(line_);
  }
}

void VfsWriter::writeRootEntry() { writeEntry(rootPhysical_, virtualRoot_); }

void VfsWriter::writeMergedEntry(const DirTable& table, size_t row) {
  const std::string& name = table.names(row);
  line_.assign(table.parents(row)).append(name).append("|");
  line_.append(virtualRoot_).append("/").append(table.virtGenre(row)).append(name);
  line_.append(tail_);
  out_->write(line_);
}

void VfsWriter::writeEntry(const std::string& physical, const std::string& virtualPath) {
  line_.assign(physical).append("|").append(virtualPath).append(tail_);
  out_->write(line_);
}

void VfsWriter::commit() { out_->commit(); }

}  // namespace kelvane
