#include "engine/dir_table.h"

#include <algorithm>
#include <stdexcept>

namespace kelvane {

void DirTable::check(size_t row) const {
  if (row < 1 || row > starts_.size())
    throw std::out_of_range("directory table row " + std::to_string(row) + " of " +
                            std::to_string(starts_.size()));
}

std::string_view DirTable::names(size_t row) const {
  check(row);
  size_t end = row < starts_.size() ? starts_[row] : text_.size();
  return std::string_view(text_).substr(starts_[row - 1], end - starts_[row - 1]);
}

const DirTable::Call& DirTable::callOf(size_t row) const {
  check(row);
  // The last call that began at or before the row: calls are few, rows many.
  auto after = std::upper_bound(calls_.begin(), calls_.end(), row,
                                [](size_t r, const Call& call) { return r < call.firstRow; });
  return *(after - 1);
}

void DirTable::clear() {
  starts_.clear();
  text_.clear();
  calls_.clear();
  pendingStored_ = true;
}

void DirTable::beginCall(const std::string& Path, const std::string& genrex, char separator) {
  pending_.parent = Path;
  pending_.physGenre = genrex.empty() ? "" : genrex + separator;
  pending_.virtGenre = genrex.empty() ? "" : genrex + "/";
  pendingStored_ = false;
}

void DirTable::add(std::string_view name) {
  if (!pendingStored_) {
    pending_.firstRow = starts_.size() + 1;
    calls_.push_back(pending_);
    pendingStored_ = true;
  }
  if (calls_.empty()) throw std::logic_error("directory table row added outside a scan");
  found_ = true;
  starts_.push_back(text_.size());
  text_.append(name);
}

}  // namespace kelvane
