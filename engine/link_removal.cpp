#include "engine/link_removal.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "base/hidden_name.h"
#include "engine/build_record.h"
#include "engine/plan.h"
#include "platform/platform.h"

namespace kelvane {

namespace {

// Looks at mirror folders taken together: enough to keep the system busy, few enough to
// hold little.
constexpr size_t kLooksAtOnce = 16384;
constexpr uint32_t kNoStamp = UINT32_MAX;

// A subfolder the walk still has to go through: 24 bytes, however long its name, for a
// genre folder of a million mirror folders.
struct Subfolder {
  size_t name;         // where its name is: in the level's listing, or among its mirrors
  Layout::Node* node;  // the genre folder it is, or null
  // Where the record keeps what a look saw of this mirror folder (among the level's node's
  // stamps), or kNoStamp: the look before the walk stands only if the walk changes nothing
  // in it.
  uint32_t stamp = kNoStamp;
  bool keep;      // a folder of the layout, kept
  bool ofLayout;  // named as a folder of the layout (kept or not)
  // A genre folder that shows what the record saw of it: its mirror folders are looked at
  // without listing it.
  bool asRecorded = false;
};

// One folder on the path from the link root to the current folder.
struct SortedFolder {
  Layout::Node* node;       // the genre folder (or link root) this is, or null
  FolderListing listing;    // what it holds, when it was listed
  bool fromRecord = false;  // not listed: its subfolders are among node's mirrors
  std::vector<Subfolder> folders;
  size_t next = 0;
  std::vector<size_t> missing;  // mirrors of node not here, that a stale folder may become
  std::vector<size_t> taken;    // those of them whose name the listing showed, sorted
  bool holdsUnlisted = false;   // entries the listing leaves out, which stay
  size_t changesBefore = 0;     // the plan's changes when the walk came in

  std::string nameOf(const Subfolder& folder) const {
    return std::string(fromRecord ? node->mirrors[folder.name] : listing.name(folder.name));
  }
};

// A mirror folder that shows what the last build's record saw of it holds what that build
// left: nothing the listing shows. The walk would find nothing to do in it, so it does not
// go in. Its owner and permissions were looked at all the same.
bool unchangedSince(const Layout& layout, const Layout::MirrorStamp& was, const FolderStamp& seen) {
  return layout.recalled && was.shows(seen, layout.stampDevice);
}

// What a look saw of a kept mirror folder: false when it shows what the record saw of it
// (counted, and not visited), else true, the look kept in stamp (or nothing, for a look
// within the folder's last tick) for the walk to go in.
bool visitAfterLook(Layout& layout, Layout::MirrorStamp& stamp, const FolderStamp& seen) {
  if (unchangedSince(layout, stamp, seen)) {
    ++layout.takenFromRecord;
    return false;
  }
  stamp = settled(seen) ? Layout::MirrorStamp{seen.id.inode, seen.changedNs, seen.modifiedNs}
                        : Layout::MirrorStamp{};
  return true;
}

// A genre folder that shows what the record saw of it once the last build was done holds
// what that build left there: these very mirror folders (the record holds each of them and
// no other), and nothing else a listing shows, since any entry added, removed or renamed in
// it changes its times. So it is not listed: each mirror folder is looked at once, as the
// walk would look at it. One that is no longer a folder of this build's own, or that could
// not be looked at, has the genre folder listed in full after all (false), nothing having
// been changed yet.
bool lookAtRecordedMirrors(FolderTree& tree, Layout& layout, Layout::Node& node,
                           SortedFolder& level) {
  size_t takenBefore = layout.takenFromRecord;
  std::vector<std::pair<size_t, Layout::MirrorStamp>> recorded;  // of those to visit
  std::vector<std::string_view> names;
  std::vector<FolderLook> looks;
  for (size_t begin = 0; begin < node.mirrors.size(); begin += kLooksAtOnce) {
    size_t end = std::min(node.mirrors.size(), begin + kLooksAtOnce);
    names.assign(node.mirrors.begin() + begin, node.mirrors.begin() + end);
    // The genre folder shows what the record saw: no entry in it changed since the last build.
    tree.lookAtFolders(names, looks, true);
    for (size_t i = begin; i < end; ++i) {
      const FolderLook& look = looks[i - begin];
      if (look.failed || !look.own) {
        // As it was: the listing's walk compares its own looks with the record, and asks
        // again where a look failed.
        layout.takenFromRecord = takenBefore;
        for (const auto& [index, stamp] : recorded) node.stamps[index] = stamp;
        level.folders.clear();
        return false;
      }
      node.markMirrorPresent(i);
      Layout::MirrorStamp was = node.stamps[i];
      if (visitAfterLook(layout, node.stamps[i], look.seen)) {
        recorded.emplace_back(i, was);
        level.folders.push_back({i, nullptr, static_cast<uint32_t>(i), true, true});
      }
    }
  }
  level.fromRecord = true;
  ++layout.takenFromRecord;  // the genre folder's listing
  return true;
}

// Where a listed name stands in the layout of the folder that holds it.
struct Placement {
  long mirror = -1;
  Layout::Genres::iterator genre;
  bool ofLayout = false;
};

// Lists the current folder: its files and links go, and its subfolders are sorted into
// what the layout keeps, what goes once emptied, and (with the record) what needs no visit.
// spare: listings of folders the walk has left, reused so that it holds few at a time.
// asRecorded: the folder is a genre folder that shows what the record saw of it.
SortedFolder sortOut(FolderTree& tree, Layout& layout, Layout::Node* node, Plan& plan,
                     std::vector<FolderListing>& spare, bool asRecorded) {
  SortedFolder level{node, {}, false, {}, 0, {}, {}, false, plan.changes()};
  if (asRecorded && lookAtRecordedMirrors(tree, layout, *node, level)) return level;
  if (!spare.empty()) {
    level.listing = std::move(spare.back());
    spare.pop_back();
  }
  tree.listCompact(level.listing, level.holdsUnlisted);
  const FolderListing& listing = level.listing;
  std::vector<Placement> placed;
  std::vector<std::string_view> toLook;
  std::vector<FolderLook> looks;
  std::string name;
  for (size_t begin = 0; begin < listing.size(); begin += kLooksAtOnce) {
    size_t end = std::min(listing.size(), begin + kLooksAtOnce);
    // A folder another account made, or made open to others, could hold what it put there
    // and take more: it goes and is made again. So each folder named as one of the layout
    // is looked at; those of this part of the listing together.
    placed.assign(end - begin, Placement{});
    toLook.clear();
    for (size_t i = begin; node && i < end; ++i) {
      std::string_view listed = listing.name(i);
      if (listed.empty() || isSelfOrParent(listed) || isHiddenName(listed)) continue;
      Placement& at = placed[i - begin];
      at.mirror = node->mirrorIndex(listed);
      at.genre = node->genres.find(listed);
      at.ofLayout = at.mirror >= 0 || at.genre != node->genres.end();
      if (at.ofLayout && listing.type(i) == EntryType::Folder) toLook.push_back(listed);
    }
    tree.lookAtFolders(toLook, looks, false);
    const FolderLook* look = looks.data();
    for (size_t i = begin; i < end; ++i) {
      name.assign(listing.name(i));
      // "." and ".." are the folder and its parent; any other name starting with "." is one
      // the listing should have left out, and stays like those.
      if (isSelfOrParent(name)) continue;
      if (name.empty() || isHiddenName(name)) {
        level.holdsUnlisted = true;
        continue;
      }
      const Placement& at = placed[i - begin];
      if (listing.type(i) != EntryType::Folder) {
        // A link goes as a link, whatever it points to, even named like a folder to keep.
        if (at.mirror >= 0) level.taken.push_back(static_cast<size_t>(at.mirror));
        plan.removeFile(tree, name, at.ofLayout);
        continue;
      }
      Subfolder folder{i, nullptr, kNoStamp, false, at.ofLayout};
      if (at.ofLayout) {
        const FolderLook& seen = *look++;
        if (seen.failed) std::rethrow_exception(seen.failed);
        if (seen.own) {
          if (at.mirror >= 0) node->markMirrorPresent(static_cast<size_t>(at.mirror));
          if (at.genre != node->genres.end()) {
            at.genre->second.markPresent();
            folder.node = &at.genre->second;
            folder.asRecorded = unchangedSince(layout, folder.node->recorded, seen.seen);
          }
          folder.keep = true;
          if (at.mirror >= 0 && !folder.node && !node->stamps.empty()) {
            size_t mirror = static_cast<size_t>(at.mirror);
            if (!visitAfterLook(layout, node->stamps[mirror], seen.seen)) continue;
            folder.stamp = static_cast<uint32_t>(mirror);
          }
        } else if (at.mirror >= 0) {
          level.taken.push_back(static_cast<size_t>(at.mirror));
        }
      }
      level.folders.push_back(folder);
    }
  }
  if (node)
    for (size_t i = 0; i < node->mirrors.size(); ++i) {
      if (node->mirrorIsPresent(i)) continue;
      level.missing.push_back(i);
      // Whatever becomes of it, the record's look at the folder once there is not this one's:
      // the build looks at it again when it is done.
      if (!node->stamps.empty()) node->stamps[i] = {};
    }
  std::sort(level.taken.begin(), level.taken.end());
  return level;
}

// The emptied stale subfolder goes; where its genre folder lacks a mirror folder, it becomes
// that one instead, which spares the disk a removal and a creation.
void dispose(FolderTree& tree, SortedFolder& parent, const Subfolder& folder, bool holdsUnlisted,
             Plan& plan) {
  std::string name = parent.nameOf(folder);
  // A folder still holding what the listing leaves out is not empty: removing it fails, as
  // it must, and it never becomes a mirror folder.
  if (!holdsUnlisted && parent.node && !parent.missing.empty()) {
    size_t mirror = parent.missing.back();
    std::string to(parent.node->mirrors[mirror]);
    bool listed = parent.holdsUnlisted ||
                  std::binary_search(parent.taken.begin(), parent.taken.end(), mirror);
    if (plan.reuseFolder(tree, name, to, parent.node->genres.count(to) > 0, listed)) {
      parent.missing.pop_back();
      parent.node->markMirrorPresent(mirror);
      return;
    }
  }
  plan.removeFolder(tree, name, holdsUnlisted, folder.ofLayout);
}

// A missing folder that a stale folder was to become behind the walk, and did not (its name
// was taken by then, and the stale folder was removed instead), is made with the others.
void stillMissing(FolderTree& tree, Layout& layout, Plan& plan, const FolderNotRenamed& left) {
  Layout::Node* node = &layout.root();
  for (const std::string& level : left.folder) {
    auto genre = node->genres.find(level);
    if (genre == node->genres.end()) return;  // the walk reuses folders only in genre folders
    node = &genre->second;
  }
  plan.notRenamed(tree, left.folder, left.to);
  long mirror = node->mirrorIndex(left.to);
  if (mirror >= 0) node->markMirrorMissing(static_cast<size_t>(mirror));
}

void walk(FolderTree& tree, Layout& layout, Plan& plan) {
  // Depth first: the path from the link root to the current folder, each level with the
  // subfolders it still has to go through.
  std::vector<SortedFolder> levels;
  std::vector<FolderListing> spare;
  levels.push_back(sortOut(tree, layout, &layout.root(), plan, spare, false));
  while (!levels.empty()) {
    SortedFolder& level = levels.back();
    if (level.next < level.folders.size()) {
      const Subfolder& folder = level.folders[level.next];
      Layout::Node* node = folder.node;
      bool asRecorded = folder.asRecorded;
      tree.enter(level.nameOf(folder));
      levels.push_back(sortOut(tree, layout, node, plan, spare, asRecorded));
      continue;
    }
    bool holdsUnlisted = level.holdsUnlisted;
    bool changed = plan.changes() != level.changesBefore;
    spare.push_back(std::move(level.listing));
    levels.pop_back();
    if (levels.empty()) break;
    tree.leave();
    SortedFolder& parent = levels.back();
    const Subfolder& folder = parent.folders[parent.next++];
    // Emptied now: the build looks at it once more when it is done.
    if (folder.stamp != kNoStamp && changed) parent.node->stamps[folder.stamp] = {};
    if (!folder.keep) dispose(tree, parent, folder, holdsUnlisted, plan);
  }
}

}  // namespace

void reconcileLinkRoot(FolderTree& tree, Layout& layout, Plan& plan) {
  // The stale folders' changes are made behind the walk, which never comes back to a folder
  // it has emptied.
  tree.startChanges();
  std::vector<FolderNotRenamed> notRenamed;
  try {
    walk(tree, layout, plan);
  } catch (...) {
    // A change behind the walk that failed came before what the walk failed at: its failure
    // is the one raised.
    tree.finishChanges(notRenamed);
    throw;
  }
  tree.finishChanges(notRenamed);
  for (const FolderNotRenamed& left : notRenamed) stillMissing(tree, layout, plan, left);
}

void removeOldStructure(Platform& platform, FolderTree& tree) {
  DirTable none;
  Layout nothing(none, "");  // no genres to split
  Plan plan(platform, nullptr);
  reconcileLinkRoot(tree, nothing, plan);
}

}  // namespace kelvane
