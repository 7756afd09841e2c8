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
  bool keep;           // a folder of the layout, kept
  bool ofLayout;       // named as a folder of the layout (kept or not)
  // Where the record keeps what a look saw of this mirror folder, or null: the look before
  // the walk stands only if the walk changes nothing in it.
  Layout::MirrorStamp* stamp = nullptr;
  // A genre folder that shows what the record saw of it: its mirror folders are looked at
  // without listing it.
  bool asRecorded = false;
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

// What a look saw of a kept mirror folder: null when it shows what the record saw of it
// (counted, and not visited), else where the look is kept (or nothing, for a look within
// the folder's last tick) for the walk to go in.
Layout::MirrorStamp* stampOrSkip(Layout& layout, Layout::MirrorStamp& stamp,
                                 const FolderStamp& seen) {
  if (unchangedSince(layout, stamp, seen)) {
    ++layout.takenFromRecord;
    return nullptr;
  }
  stamp = settled(seen) ? Layout::MirrorStamp{seen.id.inode, seen.changedNs, seen.modifiedNs}
                        : Layout::MirrorStamp{};
  return &stamp;
}

// A genre folder that shows what the record saw of it once the last build was done holds
// what that build left there: these very mirror folders (the record holds each of them and
// no other), and nothing else a listing shows, since any entry added, removed or renamed in
// it changes its times. So it is not listed: each mirror folder is looked at once, as the
// walk would look at it. One that is no longer a folder of this build's own has the genre
// folder listed in full after all (false), nothing having been changed yet.
bool lookAtRecordedMirrors(FolderTree& tree, Layout& layout, Layout::Node& node,
                           SortedFolder& level) {
  size_t takenBefore = layout.takenFromRecord;
  std::vector<std::pair<size_t, Layout::MirrorStamp>> recorded;  // of those to visit
  std::string name;
  for (size_t i = 0; i < node.mirrors.size(); ++i) {
    name.assign(node.mirrors[i]);
    FolderStamp seen;
    if (!tree.lookAtFolder(name, seen)) {
      // As it was: the listing's walk compares its own looks with the record.
      layout.takenFromRecord = takenBefore;
      for (const auto& [index, stamp] : recorded) node.stamps[index] = stamp;
      level.folders.clear();
      return false;
    }
    node.markMirrorPresent(i);
    Layout::MirrorStamp was = node.stamps[i];
    if (Layout::MirrorStamp* stamp = stampOrSkip(layout, node.stamps[i], seen)) {
      recorded.emplace_back(i, was);
      level.folders.push_back({name, nullptr, true, true, stamp});
    }
  }
  ++layout.takenFromRecord;  // the genre folder's listing
  return true;
}

// Lists the current folder: its files and links go, and its subfolders are sorted into
// what the layout keeps, what goes once emptied, and (with the record) what needs no visit.
// listing: reused for every folder, so that the walk holds one listing at a time.
// asRecorded: the folder is a genre folder that shows what the record saw of it.
SortedFolder sortOut(FolderTree& tree, Layout& layout, Layout::Node* node, Plan& plan,
                     FolderListing& listing, bool asRecorded) {
  SortedFolder level{node, {}, 0, {}, false, plan.changes()};
  if (asRecorded && lookAtRecordedMirrors(tree, layout, *node, level)) return level;
  tree.listCompact(listing, level.holdsUnlisted);
  std::string name;
  for (size_t i = 0; i < listing.size(); ++i) {
    name.assign(listing.name(i));
    // "." and ".." are the folder and its parent; any other name starting with "." is one
    // the listing should have left out, and stays like those.
    if (isSelfOrParent(name)) continue;
    if (name.empty() || isHiddenName(name)) {
      level.holdsUnlisted = true;
      continue;
    }
    long mirror = node ? node->mirrorIndex(name) : -1;
    auto genre = node ? node->genres.find(name) : Layout::Genres::iterator();
    bool ofLayout = mirror >= 0 || (node && genre != node->genres.end());
    if (listing.type(i) != EntryType::Folder) {
      // A link goes as a link, whatever it points to, even named like a folder to keep.
      plan.removeFile(tree, name, ofLayout);
      continue;
    }
    Subfolder folder{name, nullptr, false, ofLayout};
    if (node) {
      // A folder another account made, or made open to others, could hold what it put there
      // and take more: it goes and is made again.
      FolderStamp seen;
      if (ofLayout && tree.lookAtFolder(folder.name, seen)) {
        if (mirror >= 0) node->markMirrorPresent(static_cast<size_t>(mirror));
        if (genre != node->genres.end()) {
          genre->second.markPresent();
          folder.node = &genre->second;
          folder.asRecorded = unchangedSince(layout, folder.node->recorded, seen);
        }
        folder.keep = true;
        if (mirror >= 0 && !folder.node && !node->stamps.empty()) {
          folder.stamp = stampOrSkip(layout, node->stamps[static_cast<size_t>(mirror)], seen);
          if (!folder.stamp) continue;
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
    std::string to(parent.node->mirrors[mirror]);
    if (plan.reuseFolder(tree, folder.name, to, parent.node->genres.count(to) > 0)) {
      parent.missing.pop_back();
      parent.node->markMirrorPresent(mirror);
      return;
    }
  }
  plan.removeFolder(tree, folder.name, holdsUnlisted, folder.ofLayout);
}

}  // namespace

void reconcileLinkRoot(FolderTree& tree, Layout& layout, Plan& plan) {
  // Depth first: the path from the link root to the current folder, each level with the
  // subfolders it still has to go through.
  std::vector<SortedFolder> levels;
  FolderListing listing;
  levels.push_back(sortOut(tree, layout, &layout.root(), plan, listing, false));
  while (!levels.empty()) {
    SortedFolder& level = levels.back();
    if (level.next < level.folders.size()) {
      const Subfolder& folder = level.folders[level.next];
      Layout::Node* node = folder.node;
      bool asRecorded = folder.asRecorded;
      tree.enter(folder.name);
      levels.push_back(sortOut(tree, layout, node, plan, listing, asRecorded));
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
