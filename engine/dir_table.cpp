#include "engine/dir_table.h"

#include <stdexcept>

namespace kelvane {

const DirTable::Row& DirTable::at(size_t row) const {
  if (row < 1 || row > rows_.size())
    throw std::out_of_range("directory table row " + std::to_string(row) + " of " +
                            std::to_string(rows_.size()));
  return rows_[row - 1];
}

void DirTable::clear() {
  rows_.clear();
  calls_.clear();
  pendingStored_ = true;
}

void DirTable::beginCall(const std::string& Path, const std::string& genrex, char separator) {
  pending_.parent = Path;
  pending_.physGenre = genrex.empty() ? "" : genrex + separator;
  pending_.virtGenre = genrex.empty() ? "" : genrex + "/";
  pendingStored_ = false;
}

void DirTable::add(std::string name) {
  if (!pendingStored_) {
    calls_.push_back(pending_);
    pendingStored_ = true;
  }
  if (calls_.empty()) throw std::logic_error("directory table row added outside a scan");
  found_ = true;
  rows_.push_back({std::move(name), static_cast<uint32_t>(calls_.size() - 1)});
}

}  // namespace kelvane
