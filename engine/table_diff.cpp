#include "engine/table_diff.h"

#include "engine/vfs_file.h"

namespace kelvane {

TableDiff::TableDiff(std::unique_ptr<InputFile> current) {
  if (!current) return;
  OldTableReader reader(std::move(current));
  std::string line;
  while (reader.next(line)) ++current_[line];
}

void TableDiff::write(std::string_view bytes) {
  while (!bytes.empty()) {
    size_t end = bytes.find("\r\n");
    std::string line(bytes.substr(0, end));
    bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 2);
    auto found = current_.find(line);
    if (found != current_.end() && found->second > 0)
      --found->second;
    else
      ++added_;
  }
}

size_t TableDiff::dropped() const {
  size_t lines = 0;
  for (const auto& [line, count] : current_) lines += count;
  return lines;
}

}  // namespace kelvane
