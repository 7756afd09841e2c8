#include "engine/plan.h"

#include <cerrno>
#include <ostream>

#include "engine/table_diff.h"
#include "engine/vfs_file.h"
#include "engine/visible_text.h"
#include "platform/failure.h"

namespace kelvane {

std::unique_ptr<OutputFile> Plan::openTable(const std::string& path) {
  if (!dryRun_) return platform_.createOutput(path);
  // Making even a temporary file beside the table could stand in for the one a running
  // build is about to put in place.
  platform_.checkOutput(path);
  auto diff =
      std::make_unique<TableDiff>(platform_.fileExists(path) ? platform_.openInput(path) : nullptr);
  diff_ = diff.get();
  return diff;
}

void Plan::passOver(const std::string& path, const std::string& owner) {
  std::string why = "a link that " + owner +
                    " made, neither root nor the owner of the merge source, is not followed";
  platform_.warn("kelvane: passing over \"" + visibleText(path) + "\": " + why);
  if (dryRun_) *dryRun_ << "pass over " << visibleText(path) << ": " << why << "\n";
}

void Plan::print(const char* what, const std::string& path) {
  if (dryRun_) *dryRun_ << what << " " << visibleText(path) << "\n";
}

void Plan::removeFile(FolderTree& tree, const std::string& name) {
  ++removed_;
  print("remove", tree.currentPath() + name);
  if (!dryRun_) tree.deleteFile(name);
}

void Plan::removeFolder(FolderTree& tree, const std::string& name, bool holdsHidden) {
  std::string path = tree.currentPath() + name;
  if (dryRun_ && holdsHidden)
    throw systemFailure(ENOTEMPTY, "Cannot remove folder", path, "remove folder");
  ++removed_;
  print("remove", path);
  if (!dryRun_) tree.removeFolder(name);
}

bool Plan::reuseFolder(FolderTree& tree, const std::string& from, const std::string& to) {
  if (dryRun_ || !tree.reuseFolder(from, to)) return false;
  removed_++;
  created_++;
  return true;
}

void Plan::makeLinkRoot(std::unique_ptr<FolderTree>& linkRoot, const std::string& path) {
  if (linkRoot) return;
  ++created_;
  print("create", path.substr(0, path.size() - 1));
  if (!dryRun_) linkRoot = platform_.createFolderTree(path);
}

void Plan::makeFolder(FolderTree* linkRoot, const std::string& relative, const std::string& shown,
                      bool walked) {
  // Below a folder a dry run would make, or in a link root it would make, all is new.
  size_t cut = relative.find_last_of(platform_.separators());
  bool made;
  if (!linkRoot || (cut != std::string::npos && planned_.count(relative.substr(0, cut))))
    made = true;
  else if (walked && dryRun_)
    made = true;  // the walk found it missing, or would remove what stands there
  else
    made = linkRoot->makeFolder(relative, dryRun_ != nullptr);
  if (!made) return;
  ++created_;
  print("create", shown);
  if (dryRun_) planned_.insert(relative);
}

void Plan::finish(VfsWriter& table) {
  table.commit();  // the dry run's table only counts
  if (!dryRun_) return;
  *dryRun_ << "summary: " << removed_ << " to remove, " << created_
           << " to create; table lines: " << diff_->added() << " added, " << diff_->dropped()
           << " dropped\n";
}

}  // namespace kelvane
