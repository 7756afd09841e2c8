#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_types.h"

namespace kelvane {

// What lookAtFolder(name, seen) gave for one name: its answer and what it saw, or the failure
// it threw, to be raised where the caller would have looked.
struct FolderLook {
  FolderStamp seen;
  bool own = false;
  std::exception_ptr failed;
};

// Subfolders that a walk will look at in one folder, at relative below the tree's own folder:
// each name followed by a NUL, which no name holds (a quarter of a million names in a few
// megabytes). Or, with list, a folder that the walk will list (names empty).
struct FoldersAhead {
  std::string relative;
  std::string names;
  bool list = false;
};

// The missing folder to that a stale folder was to become behind the walk, and did not: to
// was taken by then, so the stale folder was removed instead. folder: the levels, below the
// tree's own folder, of the folder that holds them.
struct FolderNotRenamed {
  std::vector<std::string> folder;
  std::string to;
};

// A folder opened once, so that what was checked is what is acted on: its identity is taken
// from the open folder, and the walk below it starts from that same folder, whatever happens
// to its name afterwards. The walk has one current folder, the tree's own folder at first;
// it never follows a link and never enters a folder of another file system or mount.
class FolderTree {
 public:
  virtual ~FolderTree() = default;

  // The tree's folder first, then each folder holding it, up to the root of the file system
  // (a drive or share root on Windows): one entry when the tree's folder is such a root.
  virtual std::vector<FileIdentity> chain() = 0;
  // Mount points (or other volumes) anywhere below the tree's folder, as paths.
  virtual std::vector<std::string> mountsBelow() = 0;

  // The visible entries of the current folder, links as links; holdsUnlisted says whether
  // the folder holds anything the listing leaves out: hidden names (on both systems every
  // name starting with "."), and pipes, sockets and devices.
  virtual std::vector<DirEntry> list(bool& holdsUnlisted) = 0;
  // list(), into a compact listing (cleared first): what a walk holds of a large folder.
  virtual void listCompact(FolderListing& listing, bool& holdsUnlisted) {
    listing.clear();
    for (const DirEntry& entry : list(holdsUnlisted)) listing.add(entry.name, entry.type);
  }
  // Makes the subfolder name of the current folder current. Fails on a link, on anything
  // but a folder, and on a folder of another file system or mount.
  virtual void enter(const std::string& name) = 0;
  // Makes the folder that was current before the last enter() current again. Fails if that
  // folder is no longer the one the current folder is in (it was moved meanwhile).
  virtual void leave() = 0;
  // Deletes the plain file or link name in the current folder, failing first, changing
  // nothing, where checkRemoval(name) fails (in its words): a read-only file is not forced.
  virtual void deleteFile(const std::string& name) = 0;
  // Fails where deleteFile(name), or removeFolder(name) of an emptied folder, would fail for
  // what stands there now (a read-only file, a folder whose entries cannot be removed),
  // changing nothing: what a dry run asks before it says that name goes.
  virtual void checkRemoval(const std::string& name) = 0;
  // Removes the empty subfolder name of the current folder.
  virtual void removeFolder(const std::string& name) = 0;
  // Renames the subfolder from of the current folder, emptied of all it holds, to to, when
  // it is just what a folder created now would be (isOwnFolder), the running account may
  // remove entries of the current folder, and nothing is named to; false, changing nothing,
  // otherwise, so that the caller removes from instead and that removal says what stands in
  // the way. One look at from. Fails when to holds anything after the rename (it was written
  // into meanwhile). toFree: as for canReuseFolder, whose answer this is. Where from was the
  // folder left last, the rename is checked through the descriptor its listing used.
  virtual bool reuseFolder(const std::string& from, const std::string& to, bool toFree) = 0;
  // Where checkRemoval(from) passes, true when reuseFolder(from, to) would rename now,
  // changing nothing: what a dry run asks, after checkRemoval(from), before it says that a
  // stale folder becomes a missing one. toFree: the caller knows to is free (a listing of
  // the current folder that left nothing out did not show it, or what stood there is one
  // the plan removes first), so only from is looked at.
  virtual bool canReuseFolder(const std::string& from, const std::string& to, bool toFree) = 0;
  // From here until finishChanges, deleteFile, removeFolder and reuseFolder may be made after
  // they return, one after the other in the order asked, while the caller goes on reading
  // other folders; each still asks its own questions first, failing then. A change that
  // fails raises its failure from a later change, a leave or finishChanges, and no change
  // asked after it is made. Meanwhile the caller asks nothing about what those changes touch
  // (a walk never comes back to a folder it has emptied). reuseFolder then says true for a
  // rename that is made later, or, where to is taken by then, for from removed instead.
  virtual void startChanges() {}
  // Waits until every change asked is made, then raises the first that failed; otherwise
  // adds to notRenamed each rename that found its new name taken by then. Changes are made
  // as they are asked again.
  virtual void finishChanges(std::vector<FolderNotRenamed>& /*notRenamed*/) {}
  // True when the subfolder name of the current folder (not a link) has the owner and the
  // permissions that a folder this build makes now would have: only such a folder is kept.
  virtual bool isOwnFolder(const std::string& name) = 0;
  // isOwnFolder(name), and what that one look at name saw, a link not followed (a folder
  // mounted over name shows its own identity). Where the system keeps no times a build may
  // trust, seen says nothing (tickNs 0) and every folder is looked at in full.
  virtual bool lookAtFolder(const std::string& name, FolderStamp& seen) {
    seen = FolderStamp{};
    return isOwnFolder(name);
  }
  // lookAtFolder for each of names, subfolders of the current folder: looks (resized to
  // names) holds each one's at its index. The looks may be taken side by side, in any order;
  // they change nothing, and one that fails stops none of the others. unchangedSinceAhead:
  // the caller knows that no entry of the current folder has changed since any looks were
  // taken ahead in it (lookAhead), which then stand for those names.
  virtual void lookAtFolders(const std::vector<std::string_view>& names,
                             std::vector<FolderLook>& looks, bool /*unchangedSinceAhead*/) {
    looks.assign(names.size(), FolderLook{});
    for (size_t i = 0; i < names.size(); ++i) {
      try {
        looks[i].own = lookAtFolder(std::string(names[i]), looks[i].seen);
      } catch (...) {
        looks[i].failed = std::current_exception();
      }
    }
  }
  // A hint: lookAtFolders will be asked about these names, in this order, in each of these
  // folders (reached as holdsFolder reaches them), once the caller has done other work; and
  // the folders to list will be listed. A tree may take those looks and listings meanwhile,
  // beside that work, and hand each to lookAtFolders when it asks for that name in that very
  // folder, unchanged since, or to listCompact when it lists that very folder and the folder
  // shows no entry added, removed or renamed since. Changes nothing.
  virtual void lookAhead(std::vector<FoldersAhead> /*folders*/) {}
  // One look at each of names, subfolders of the folder at relative below the tree's own
  // folder (reached as holdsFolder reaches it), each handed to take with its index in names;
  // a name that is not a folder there (a link, anything else, nothing) is not handed over.
  // Changes nothing; a system that keeps no times a build may trust hands over none.
  virtual void lookAtSubfolders(const std::string& /*relative*/,
                                const std::vector<std::string_view>& /*names*/,
                                const std::function<void(size_t, const FolderStamp&)>& /*take*/) {}
  // True when a folder (not a link to one) stands at relative (levels split at the
  // separators, empty and "." levels skipped) below the tree's own folder, false when
  // nothing is there; fails, changing nothing, where makeFolder(relative) would: a leading
  // level that is missing or is not a folder, a link, a file or anything else where a level
  // goes, another file system or mount. The question a plan asks before it makes a folder.
  virtual bool holdsFolder(const std::string& relative) = 0;
  // Makes the folder at relative below the tree's own folder, whose leading levels must
  // stand there as folders: the last level is created unless a folder is there already.
  // Never follows a link and never enters another file system or mount: a link, a file or
  // anything else where a level goes fails. True when the folder was made.
  virtual bool makeFolder(const std::string& relative) = 0;
  // The current folder's path, ending in the separator: the tree's path as it was opened
  // and the names entered. For messages.
  virtual std::string currentPath() = 0;
};

}  // namespace kelvane
