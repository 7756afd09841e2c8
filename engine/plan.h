#pragma once

#include <iosfwd>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kelvane {

class TableDiff;
class VfsWriter;

// Carries out the steps a plan decides. The build's executor acts on the system; the dry
// run's prints each step ("remove PATH", "create PATH") and changes nothing, as a dry-run
// command runner stands in for the real one. Both ask the platform the same questions, in the
// same words: the plan asks those no step of the system answers itself (does the folder hold
// what the listing leaves out, is it there); a step that answers its own question (may the
// file go, may the folder become the missing one) is asked once, by the build's executor
// through the step itself and by the dry run's before it prints, so that a dry run and its
// build cannot disagree, and the build does not ask twice.
class PlanExecutor {
 public:
  virtual ~PlanExecutor() = default;
  virtual bool dryRun() const = 0;
  virtual std::unique_ptr<OutputFile> openTable(Platform& platform, const std::string& path) = 0;
  // shown: the path as the plan prints it. Fails, for both, where the file cannot be deleted
  // (FolderTree::checkRemoval).
  virtual void removeFile(FolderTree& tree, const std::string& name, const std::string& shown) = 0;
  virtual void removeFolder(FolderTree& tree, const std::string& name,
                            const std::string& shown) = 0;
  // from becomes to, both shown as removed and created, when the system can do so safely
  // (true); false, changing nothing, otherwise. Where from cannot be removed at all, the
  // dry run fails here and the build says false, whose removal of from then fails in the
  // same words. toFree: as FolderTree::canReuseFolder has it.
  virtual bool reuseFolder(FolderTree& tree, const std::string& from, const std::string& to,
                           bool toFree, const std::string& shownFrom,
                           const std::string& shownTo) = 0;
  // The link root at path, missing now: a dry run leaves linkRoot null.
  virtual void makeLinkRoot(Platform& platform, std::unique_ptr<FolderTree>& linkRoot,
                            const std::string& path) = 0;
  // The folder at relative below the link root, missing now (linkRoot is null when the
  // dry run only planned the link root).
  virtual void makeFolder(FolderTree* linkRoot, const std::string& relative,
                          const std::string& shown) = 0;
  // A line for whoever reads the dry run ("pass over …", "conflict …"); nothing in a build.
  virtual void note(const std::string& line) = 0;
};

// Every change a build makes, decided by the same code for a build and for a dry run and
// handed to its executor.
class Plan {
 public:
  // dryRun: where a dry run prints; null for a build.
  Plan(Platform& platform, std::ostream* dryRun);
  ~Plan();
  bool dryRun() const;
  // How many removals and creations the plan has decided so far.
  size_t changes() const { return removed_ + created_; }
  // The folders the last build's record spared a visit: said in the dry run's summary.
  void tookFromRecord(size_t folders) {
    recordUsed_ = true;
    fromRecord_ = folders;
  }

  // The link root as the build names it (ending in the separator): removals and creations
  // below it are known by their path relative to it.
  void setLinkRoot(const std::string& path) { linkRootPath_ = path; }

  // The new table: written for a build; for a dry run only checked, and its lines counted
  // against the table there now.
  std::unique_ptr<OutputFile> openTable(const std::string& path);

  // A link in a source that another account made, passed over.
  void passOver(const std::string& path, const std::string& owner);
  // Two merge sources give the same virtual path: both entries are written, the server
  // picks one. Said on standard error once, and as a "conflict" line in a dry run.
  void conflict(const std::string& virtualPath, const std::string& first,
                const std::string& second);

  // tree, in these three, is the link root opened at the path given to setLinkRoot, and
  // entered only below it: the plan records what goes and what is made by its path relative
  // to that, so that makeFolder can decide alike for a build and its dry run. It records
  // only what a later step can ask about (asked): a path where a folder of the layout goes,
  // or a folder made that other folders of the layout are made in. A tree of a million
  // stale or new folders then costs no set of a million paths. (Where the system takes
  // names without case, every path is recorded: a name may stand for another spelling.)
  // The plain file or link name of the tree's current folder goes; one that cannot be
  // deleted fails here, for both.
  void removeFile(FolderTree& tree, const std::string& name, bool asked);
  // The emptied subfolder name of the tree's current folder goes; one still holding entries
  // that the listing leaves out cannot be removed: both fail here, saying so.
  void removeFolder(FolderTree& tree, const std::string& name, bool holdsUnlisted, bool asked);
  // The emptied subfolder from of the tree's current folder, which is no folder of the
  // layout, becomes the missing folder to when the system can do so safely (true); false
  // otherwise, changing nothing, and the caller removes from instead. A from that cannot be
  // removed at all fails the dry run here, and the build in that removal, in the same words.
  // asked: for to. toListed: to was in the current folder's listing, or that listing left
  // out entries.
  bool reuseFolder(FolderTree& tree, const std::string& from, const std::string& to, bool asked,
                   bool toListed);
  // A reuseFolder that said true, whose rename, made later, found to taken (from was removed
  // instead): to, in the folder at the levels folder below the link root, is missing again.
  // tree is at the link root.
  void notRenamed(FolderTree& tree, const std::vector<std::string>& folder, const std::string& to);

  // The link root, made when it is missing (linkRoot null): a dry run leaves it null.
  void makeLinkRoot(std::unique_ptr<FolderTree>& linkRoot, const std::string& path);
  // The folder at relative below the link root, unless it is there: each folder counted and
  // printed once, spelled as the build acts on it (empty and "." levels dropped).
  // Callers must hold three things. makeLinkRoot came first (linkRoot is then null only in a
  // dry run that plans it). The walk of the link root has already gone through this plan: what it
  // removed counts as missing without asking the system, so that a dry run, which removed nothing,
  // decides as its build would. And a folder's leading levels were made first (a genre folder
  // before the mirror folders in it), or stand there: a missing one that this plan neither made nor
  // saw fails.
  // asked: other folders of the layout are made in this one.
  void makeFolder(FolderTree* linkRoot, const std::string& relative, bool asked = true);

  // A build puts the table in place; a dry run prints what it counted: table writes to what
  // this plan's openTable returned, which must have come first.
  void finish(VfsWriter& table);

 private:
  // text escaped as every message shows it (the separator kept).
  std::string shown(const std::string& text) const;
  // relative's levels, empty and "." ones dropped, joined by the separator.
  std::string normalised(const std::string& relative) const;
  // The key a normalised path below the link root is known by: as it is, or with ASCII
  // letters folded where the system takes names without case (Windows).
  std::string keyOf(const std::string& normalisedPath) const;
  // The key of the path below the link root of name in the tree's current folder.
  std::string relativeOf(FolderTree& tree, const std::string& name) const;
  // Whether a path the caller says is asked (or not) about later is recorded.
  bool records(bool asked) const;

  Platform& platform_;
  std::unique_ptr<PlanExecutor> executor_;
  TableDiff* diff_ = nullptr;
  std::string linkRootPath_;
  bool linkRootMade_ = false;
  size_t removed_ = 0, created_ = 0, conflicts_ = 0;
  bool recordUsed_ = false;
  size_t fromRecord_ = 0;
  // Below the link root, normalised: what this plan removed and made, so that later steps
  // are decided alike whether or not the system has been changed yet.
  std::set<std::string> removedPaths_, madePaths_;
};

}  // namespace kelvane
