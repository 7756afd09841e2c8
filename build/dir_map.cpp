#include "build/dir_map.h"

#include <stdexcept>

#include "platform/platform.h"

namespace kelvane {
namespace {

bool endsWithSlash(const std::string& s) { return !s.empty() && s.back() == '/'; }

// A "|" would add fields to the folder's VFS entry and a line break would add lines.
bool fitsInTable(const std::string& name) {
  return name.find_first_of("|\r\n") == std::string::npos;
}

}  // namespace

void FolderScan::DirMap(const std::string& Path, const std::string& genrex, int mode) {
  bool deleting = mode == MODE_DELETE;
  if (deleting && (removalRoot_.empty() || !endsWithSlash(Path)))
    throw std::logic_error("delete-mode scan of \"" + Path + "\" outside a removal root");
  std::vector<DirEntry> entries =
      deleting ? platform_.listForRemoval(removalRoot_, Path) : platform_.listFolder(Path);
  table_.beginCall(Path, genrex);
  // Only a listing of a folder's contents names entries that are exactly Path & N; for any
  // other pattern Path & N is another path and has to be looked at on its own.
  bool listedIsFull = endsWithSlash(Path);
  for (const DirEntry& entry : entries) {
    // The listing leaves hidden names out; "." and ".." are never rows.
    if (entry.name.empty() || entry.name[0] == '.') continue;
    if (deleting)
      deleteEntry(Path, entry);
    else
      mapEntry(Path, listedIsFull, entry);
  }
}

void FolderScan::mapEntry(const std::string& Path, bool listedIsFull, const DirEntry& entry) {
  full_.assign(Path).append(entry.name);
  bool isFolder;
  if (listedIsFull && entry.type == EntryType::Folder)
    isFolder = true;
  else if (listedIsFull && entry.type == EntryType::File)
    isFolder = false;
  else
    isFolder = platform_.folderExists(full_);  // a link to a folder counts as one
  if (isFolder && fitsInTable(entry.name)) table_.add(entry.name);
}

void FolderScan::deleteEntry(const std::string& Path, const DirEntry& entry) {
  full_.assign(Path).append(entry.name);
  // A link is deleted as a link whatever it points to, so nothing outside the root is
  // reached; only real folders are recorded to be walked.
  if (entry.type != EntryType::Folder) {
    platform_.deleteForRemoval(removalRoot_, full_);
    return;
  }
  table_.add(full_ + "/");
}

}  // namespace kelvane
