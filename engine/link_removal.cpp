#include "engine/link_removal.h"

#include <string>
#include <vector>

#include "base/hidden_name.h"
#include "engine/build_record.h"
#include "engine/plan.h"
#include "platform/platform.h"

namespace kelvane {

namespace {

struct Subfolder {
  std::string name;
  Layout::Node* node;  // the genre folder it is, or null
  bool keep;           // a folder of the layout
  // Where the record keeps what a look saw of this mirror folder, or null: the look before
  // the walk stands only if the walk changes nothing in it.
  Layout::MirrorStamp* stamp = nullptr;
};

// One folder on the path from the link root to the current folder.
struct SortedFolder {
  Layout::Node* node;  // the genre folder (or link root) this is, or null
  std::vector<Subfolder> folders;
  size_t next = 0;
  std::vector<size_t> missing;  // mirrors of node not here, that a stale folder may become
  bool holdsUnlisted = false;   // entries the listing leaves out, which stay
  size_t changesBefore = 0;     // the plan's changes when the walk came in
};

// A mirror folder that shows what the last build's record saw of it holds what that build
// left: nothing the listing shows. The walk would find nothing to do in it, so it does not
// go in. Its owner and permissions were looked at all the same.
bool unchangedSince(const Layout& layout, const Layout::MirrorStamp& was, const FolderStamp& seen) {
  return layout.recalled && was.inode != 0 && seen.tickNs > 0 &&
         seen.id.device == layout.stampDevice && seen.id.inode == was.inode &&
         seen.changedNs == was.changedNs && seen.modifiedNs == was.modifiedNs;
}

// Lists the current folder: its files and links go, and its subfolders are sorted into
// what the layout keeps, what goes once emptied, and (with the record) what needs no visit.
SortedFolder sortOut(FolderTree& tree, Layout& layout, Layout::Node* node, Plan& plan) {
  SortedFolder level{node, {}, 0, {}, false, plan.changes()};
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
      FolderStamp seen;
      if ((mirror >= 0 || genre != node->genres.end()) && tree.lookAtFolder(folder.name, seen)) {
        if (mirror >= 0) node->markMirrorPresent(static_cast<size_t>(mirror));
        if (genre != node->genres.end()) {
          genre->second.markPresent();
          folder.node = &genre->second;
        }
        folder.keep = true;
        if (mirror >= 0 && !folder.node && !node->stamps.empty()) {
          Layout::MirrorStamp& stamp = node->stamps[static_cast<size_t>(mirror)];
          if (unchangedSince(layout, stamp, seen)) {
            ++layout.takenFromRecord;
            continue;
          }
          stamp = settled(seen)
                      ? Layout::MirrorStamp{seen.id.inode, seen.changedNs, seen.modifiedNs}
                      : Layout::MirrorStamp{};
          folder.stamp = &stamp;
        }
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
  levels.push_back(sortOut(tree, layout, &layout.root(), plan));
  while (!levels.empty()) {
    SortedFolder& level = levels.back();
    if (level.next < level.folders.size()) {
      const Subfolder& folder = level.folders[level.next];
      Layout::Node* node = folder.node;
      tree.enter(folder.name);
      levels.push_back(sortOut(tree, layout, node, plan));
      continue;
    }
    bool holdsUnlisted = level.holdsUnlisted;
    bool changed = plan.changes() != level.changesBefore;
    levels.pop_back();
    if (levels.empty()) break;
    tree.leave();
    SortedFolder& parent = levels.back();
    const Subfolder& folder = parent.folders[parent.next++];
    // Emptied now: the build looks at it once more when it is done.
    if (folder.stamp && changed) *folder.stamp = {};
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
