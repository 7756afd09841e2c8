#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane {

// The way DirMap scans a folder: recording subfolders for the merge. (Emptying the link
// root has a walk of its own.)
inline constexpr int MODE_MAP = 0;

// The folders a scan found, one row per folder in the order the listings gave them. Rows
// are numbered from 1. Every row of one DirMap call has the same parent and genre, so those
// are kept once per call; the names are kept one after another in one text, each known by
// where it starts: a table of a million folders holds about 17 bytes per folder, not a
// string of its own (32 bytes and more) for each.
class DirTable {
 public:
  size_t count() const { return starts_.size(); }
  // Set whenever a row is added; starting a new table leaves it as it was.
  bool found() const { return found_; }

  // The bare folder name; valid until the next row is added.
  std::string_view names(size_t row) const;
  // The Path of the call that added the row, unchanged.
  const std::string& parents(size_t row) const { return callOf(row).parent; }
  // The call's genre followed by the separator, or empty for no genre (a physical path part).
  const std::string& physGenre(size_t row) const { return callOf(row).physGenre; }
  // The call's genre followed by "/", or empty for no genre (a virtual path part).
  const std::string& virtGenre(size_t row) const { return callOf(row).virtGenre; }

  // Starts a new table: count goes back to 0.
  void clear();
  // Names the Path and genre of the rows added from now on; separator ends physical paths.
  void beginCall(const std::string& Path, const std::string& genrex, char separator);
  void add(std::string_view name);

 private:
  struct Call {
    std::string parent;
    std::string physGenre;
    std::string virtGenre;
    size_t firstRow = 0;  // its rows are firstRow on, up to the next call's
  };

  // Throws std::out_of_range for a row the table does not have.
  void check(size_t row) const;
  const Call& callOf(size_t row) const;

  std::vector<Call> calls_;
  std::string text_;            // every name, one after another
  std::vector<size_t> starts_;  // where each row's name starts in text_
  Call pending_;                // the call begun last, stored once it adds a row
  bool pendingStored_ = true;
  bool found_ = false;
};

}  // namespace kelvane
