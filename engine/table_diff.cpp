#include "engine/table_diff.h"

#include "base/short_hash.h"
#include "engine/vfs_file.h"

namespace kelvane {

TableDiff::TableDiff(std::unique_ptr<InputFile> current) : line_(kHashBasis) {
  if (!current) return;
  // Each line is known with its CR LF, as the new table writes it.
  OldTableReader reader(std::move(current));
  std::string piece;
  uint64_t hash = kHashBasis;
  while (reader.nextPiece(piece)) {
    feedHash(hash, piece);
    if (!reader.lineEnded()) continue;
    feedHash(hash, "\r\n");
    ++current_[hash];
    hash = kHashBasis;
  }
}

void TableDiff::write(std::string_view bytes) {
  // Only a line's end holds an LF: the build refuses one anywhere else.
  while (!bytes.empty()) {
    size_t end = bytes.find('\n');
    feedHash(line_, bytes.substr(0, end == std::string_view::npos ? bytes.size() : end + 1));
    if (end == std::string_view::npos) return;
    bytes.remove_prefix(end + 1);
    auto found = current_.find(line_);
    if (found != current_.end() && found->second > 0)
      --found->second;
    else
      ++added_;
    line_ = kHashBasis;
  }
}

size_t TableDiff::dropped() const {
  size_t lines = 0;
  for (const auto& [line, count] : current_) lines += count;
  return lines;
}

}  // namespace kelvane
