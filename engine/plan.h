#pragma once

#include <iosfwd>
#include <memory>
#include <set>
#include <string>

#include "platform/platform.h"

namespace kelvane {

class TableDiff;
class VfsWriter;

// Every change a build makes, decided by the same code for a build and for a dry run: a
// build carries each one out as it is decided, a dry run prints it instead ("remove PATH",
// "create PATH") and changes nothing. So the two cannot disagree.
class Plan {
 public:
  // dryRun: where a dry run prints; null for a build.
  Plan(Platform& platform, std::ostream* dryRun) : platform_(platform), dryRun_(dryRun) {}
  bool dryRun() const { return dryRun_ != nullptr; }

  // The new table: written for a build; for a dry run only checked, and its lines counted
  // against the table there now.
  std::unique_ptr<OutputFile> openTable(const std::string& path);

  // A link in a source that another account made, passed over.
  void passOver(const std::string& path, const std::string& owner);

  // The plain file or link name of the tree's current folder goes.
  void removeFile(FolderTree& tree, const std::string& name);
  // The emptied subfolder name of the tree's current folder goes; one still holding hidden
  // entries cannot be removed, and a dry run fails there as the build would.
  void removeFolder(FolderTree& tree, const std::string& name, bool holdsHidden);
  // The emptied subfolder from of the tree's current folder becomes the missing folder to,
  // when the system can do so safely; false otherwise, and always in a dry run, which then
  // removes the one and makes the other as the build would.
  bool reuseFolder(FolderTree& tree, const std::string& from, const std::string& to);

  // The link root, made when it is missing (linkRoot null): a dry run leaves it null.
  void makeLinkRoot(std::unique_ptr<FolderTree>& linkRoot, const std::string& path);
  // The folder at relative below the link root, shown as shown, unless it is there. After a
  // walk of the link root, a folder of the layout that the walk did not keep is known to be
  // missing.
  void makeFolder(FolderTree* linkRoot, const std::string& relative, const std::string& shown,
                  bool walked);

  // A build puts the table in place; a dry run prints what it counted.
  void finish(VfsWriter& table);

 private:
  void print(const char* what, const std::string& path);

  Platform& platform_;
  std::ostream* dryRun_;
  TableDiff* diff_ = nullptr;
  size_t removed_ = 0, created_ = 0;
  std::set<std::string> planned_;  // folders a dry run would make, relative to the link root
};

}  // namespace kelvane
