#include "build/link_removal.h"

#include <string>
#include <vector>

#include "platform/platform.h"

namespace kelvane {
namespace {

// Deletes the files and links of the current folder and returns its subfolders, still to
// be emptied and removed.
std::vector<std::string> emptyOfFiles(FolderTree& tree) {
  std::vector<std::string> folders;
  for (DirEntry& entry : tree.list()) {
    // The listing leaves hidden names out; "." and ".." are the folder and its parent.
    if (entry.name.empty() || entry.name[0] == '.') continue;
    if (entry.type == EntryType::Folder)
      folders.push_back(std::move(entry.name));
    else
      tree.deleteFile(entry.name);  // a link goes as a link, whatever it points to
  }
  return folders;
}

}  // namespace

void removeOldStructure(FolderTree& tree) {
  struct Level {
    std::vector<std::string> folders;
    size_t next = 0;
  };
  // Depth first: the path from the link root to the current folder, each level with the
  // subfolders it still has to empty and remove.
  std::vector<Level> levels;
  levels.push_back({emptyOfFiles(tree)});
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next < level.folders.size()) {
      tree.enter(level.folders[level.next]);
      levels.push_back({emptyOfFiles(tree)});
      continue;
    }
    levels.pop_back();
    if (levels.empty()) break;
    tree.leave();
    Level& parent = levels.back();
    tree.removeFolder(parent.folders[parent.next++]);
  }
}

}  // namespace kelvane
