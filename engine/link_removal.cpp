#include "engine/link_removal.h"

#include <string>
#include <vector>

#include "base/hidden_name.h"
#include "engine/plan.h"
#include "platform/platform.h"

namespace kelvane {

namespace {

struct Subfolder {
  std::string name;
  Layout::Node* node;  // the genre folder it is, or null
  bool keep;           // a folder of the layout
};

// One folder on the path from the link root to the current folder.
struct SortedFolder {
  Layout::Node* node;  // the genre folder (or link root) this is, or null
  std::vector<Subfolder> folders;
  size_t next = 0;
  std::vector<size_t> missing;  // mirrors of node not here, that a stale folder may become
  bool holdsUnlisted = false;   // entries the listing leaves out, which stay
};

// Lists the current folder: its files and links go, and its subfolders are sorted into
// what the layout keeps and what goes once emptied.
SortedFolder sortOut(FolderTree& tree, Layout::Node* node, Plan& plan) {
  SortedFolder level{node, {}, 0, {}, false};
  for (DirEntry& entry : tree.list(level.holdsUnlisted)) {
    // "." and ".." are the folder and its parent; any other name starting with "." is one
    // the listing should have left out, and stays like those.
    if (isSelfOrParent(entry.name)) continue;
    if (entry.name.empty() || isHiddenName(entry.name)) {
      level.holdsUnlisted = true;
      continue;
    }
    if (entry.type != EntryType::Folder) {
      // A link goes as a link, whatever it points to, even named like a folder to keep.
      plan.removeFile(tree, entry.name);
      continue;
    }
    Subfolder folder{std::move(entry.name), nullptr, false};
    if (node) {
      long mirror = node->mirrorIndex(folder.name);
      auto genre = node->genres.find(folder.name);
      // A folder another account made, or made open to others, could hold what it put there
      // and take more: it goes and is made again.
      if ((mirror >= 0 || genre != node->genres.end()) && tree.isOwnFolder(folder.name)) {
        if (mirror >= 0) node->markMirrorPresent(static_cast<size_t>(mirror));
        if (genre != node->genres.end()) {
          genre->second.markPresent();
          folder.node = &genre->second;
        }
        folder.keep = true;
      }
    }
    level.folders.push_back(std::move(folder));
  }
  if (node)
    for (size_t i = 0; i < node->mirrors.size(); ++i)
      if (!node->mirrorIsPresent(i)) level.missing.push_back(i);
  return level;
}

// The emptied stale subfolder goes; where its genre folder lacks a mirror folder, it becomes
// that one instead, which spares the disk a removal and a creation.
void dispose(FolderTree& tree, SortedFolder& parent, const Subfolder& folder, bool holdsUnlisted,
             Plan& plan) {
  // A folder still holding what the listing leaves out is not empty: removing it fails, as
  // it must, and it never becomes a mirror folder.
  if (!holdsUnlisted && parent.node && !parent.missing.empty()) {
    size_t mirror = parent.missing.back();
    if (plan.reuseFolder(tree, folder.name, std::string(parent.node->mirrors[mirror]))) {
      parent.missing.pop_back();
      parent.node->markMirrorPresent(mirror);
      return;
    }
  }
  plan.removeFolder(tree, folder.name, holdsUnlisted);
}

}  // namespace

void reconcileLinkRoot(FolderTree& tree, Layout& layout, Plan& plan) {
  // Depth first: the path from the link root to the current folder, each level with the
  // subfolders it still has to go through.
  std::vector<SortedFolder> levels;
  levels.push_back(sortOut(tree, &layout.root(), plan));
  while (!levels.empty()) {
    SortedFolder& level = levels.back();
    if (level.next < level.folders.size()) {
      const Subfolder& folder = level.folders[level.next];
      Layout::Node* node = folder.node;
      tree.enter(folder.name);
      levels.push_back(sortOut(tree, node, plan));
      continue;
    }
    bool holdsUnlisted = level.holdsUnlisted;
    levels.pop_back();
    if (levels.empty()) break;
    tree.leave();
    SortedFolder& parent = levels.back();
    const Subfolder& folder = parent.folders[parent.next++];
    if (!folder.keep) dispose(tree, parent, folder, holdsUnlisted, plan);
  }
}

void removeOldStructure(Platform& platform, FolderTree& tree) {
  DirTable none;
  Layout nothing(none, "");  // no genres to split
  Plan plan(platform, nullptr);
  reconcileLinkRoot(tree, nothing, plan);
}

}  // namespace kelvane
