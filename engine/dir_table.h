#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvane {

// The way DirMap scans a folder: recording subfolders for the merge. (Emptying the link
// root has a walk of its own.)
inline constexpr int MODE_MAP = 0;

// The folders a scan found, one row per folder in the order the listings gave them. Rows
// are numbered from 1. Every row of one DirMap call has the same parent and genre, so those
// are kept once per call and each row points at its call: a table of a hundred thousand
// folders holds one string per folder, not four.
class DirTable {
 public:
  size_t count() const { return rows_.size(); }
  // Set whenever a row is added; starting a new table leaves it as it was.
  bool found() const { return found_; }

  // The bare folder name.
  const std::string& names(size_t row) const { return at(row).name; }
  // The Path of the call that added the row, unchanged.
  const std::string& parents(size_t row) const { return calls_[at(row).call].parent; }
  // The call's genre followed by the separator, or empty for no genre (a physical path part).
  const std::string& physGenre(size_t row) const { return calls_[at(row).call].physGenre; }
  // The call's genre followed by "/", or empty for no genre (a virtual path part).
  const std::string& virtGenre(size_t row) const { return calls_[at(row).call].virtGenre; }

  // Starts a new table: count goes back to 0.
  void clear();
  // Names the Path and genre of the rows added from now on; separator ends physical paths.
  void beginCall(const std::string& Path, const std::string& genrex, char separator);
  void add(std::string name);

 private:
  struct Call {
    std::string parent;
    std::string physGenre;
    std::string virtGenre;
  };
  struct Row {
    std::string name;
    uint32_t call;
  };

  const Row& at(size_t row) const;

  std::vector<Call> calls_;
  std::vector<Row> rows_;
  Call pending_;  // the call begun last, stored once it adds a row
  bool pendingStored_ = true;
  bool found_ = false;
};

}  // namespace kelvane
