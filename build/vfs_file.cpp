#include "build/vfs_file.h"

#include "settings/number_text.h"

namespace kelvane {

void OldTableReader::fill() {
  buffer_.erase(0, at_);
  at_ = 0;
  size_t had = buffer_.size();
  buffer_.resize(had + 64 * 1024);
  size_t n = input_->read(buffer_.data() + had, buffer_.size() - had);
  buffer_.resize(had + n);
  ended_ = n == 0;
}

bool OldTableReader::next(std::string& line) {
  for (;;) {
    size_t end = buffer_.find_first_of("\r\n", at_);
    // A CR at the end of what was read may be the first half of a CR LF.
    bool needMore = end == std::string::npos || (buffer_[end] == '\r' && end + 1 == buffer_.size());
    if (needMore && !ended_) {
      fill();
      continue;
    }
    if (end == std::string::npos) {
      if (at_ == buffer_.size()) return false;
      line.assign(buffer_, at_);
      at_ = buffer_.size();
      return true;
    }
    line.assign(buffer_, at_, end - at_);
    at_ = end + 1;
    if (buffer_[end] == '\r' && at_ < buffer_.size() && buffer_[at_] == '\n') ++at_;
    return true;
  }
}

VfsWriter::VfsWriter(Platform& platform, const Settings& settings)
    : out_(platform.createOutput(settings.VFS)),
      rootPhysical_(settings.WhereCreate.substr(
          0, settings.WhereCreate.empty() ? 0 : settings.WhereCreate.size() - 1)),
      virtualRoot_(settings.VirtualR),
      tail_("|" + settings.OwnU + "|" + settings.OwnG + "|" + numberText(settings.CHMOD) +
            "|r|0|0|0|0|0|0|0|0\r\n") {}

void VfsWriter::writeOldLine(std::string_view line) {
  line_.assign(line).append("\r\n");
  out_->write(line_);
}

void VfsWriter::writeRootEntry() {
  line_.assign(rootPhysical_).append("|").append(virtualRoot_).append(tail_);
  out_->write(line_);
}

void VfsWriter::writeMergedEntry(const DirTable& table, size_t row) {
  const std::string& name = table.names(row);
  line_.assign(table.parents(row)).append(name).append("|");
  line_.append(virtualRoot_).append("/").append(table.virtGenre(row)).append(name);
  line_.append(tail_);
  out_->write(line_);
}

void VfsWriter::commit() { out_->commit(); }

}  // namespace kelvane
