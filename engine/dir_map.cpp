#include "engine/dir_map.h"

#include <stdexcept>

#include "base/hidden_name.h"
#include "platform/platform.h"

namespace kelvane {
namespace {

// A "|" would add fields to the folder's VFS entry and a line break would add lines.
bool fitsInTable(const std::string& name) {
  return name.find_first_of("|\r\n") == std::string::npos;
}

}  // namespace

bool FolderScan::addRow(const std::string& name) {
  if (!fitsInTable(name) || (encoding_ && !encoding_->holds(name))) return false;
  table_.add(name);
  return true;
}

void FolderScan::DirMap(const std::string& Path, const std::string& genrex, int mode) {
  if (mode != MODE_MAP) throw std::logic_error("the folder scan only maps");
  const char separator = platform_.files.separator();
  // Only a listing of a folder's contents names entries that are exactly Path & N; for any
  // other pattern Path & N is another path and has to be looked at on its own.
  bool listedIsFull =
      !Path.empty() && platform_.files.separators().find(Path.back()) != std::string_view::npos;
  ScannedSource scanned{Path, {}, listedIsFull, table_.count() + 1, 0};
  auto keep = [&] {
    scanned.rows = table_.count() + 1 - scanned.firstRow;
    if (scanned_) scanned_->push_back(std::move(scanned));
  };
  if (record_) {
    table_.beginCall(Path, genrex, separator);
    bool allKept = true;
    if (record_->recallSource(Path, scanned.seen,
                              [&](const std::string& name) { allKept &= addRow(name); })) {
      scanned.repeatable = allKept;
      keep();
      return;
    }
  }
  std::vector<DirEntry> entries = platform_.files.listStampedFolder(Path, scanned.seen);
  table_.beginCall(Path, genrex, separator);
  for (const DirEntry& entry : entries) {
    // The listing leaves hidden names out; "." and ".." are never rows.
    if (entry.name.empty() || isSelfOrParent(entry.name) || isHiddenName(entry.name)) continue;
    bool isFolder;
    if (!entry.foreignOwner.empty()) {
      // Anyone who can write into a source could otherwise publish any folder of the
      // server through it.
      passedOver_.push_back({listedIsFull ? Path + entry.name : Path, entry.foreignOwner});
      scanned.repeatable = false;
      continue;
    } else if (listedIsFull && entry.type != EntryType::Link) {
      isFolder = entry.type == EntryType::Folder;
    } else {
      // What a link leads to can change without its folder changing.
      scanned.repeatable = false;
      full_.assign(Path).append(entry.name);
      isFolder = platform_.files.folderExists(full_);  // a link to a folder counts as one
    }
    if (isFolder && !addRow(entry.name)) scanned.repeatable = false;
  }
  keep();
}

}  // namespace kelvane
