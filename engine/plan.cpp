#include "engine/plan.h"

#include <cerrno>
#include <ostream>

#include "base/failure.h"
#include "base/path_parts.h"
#include "base/visible_text.h"
#include "engine/table_diff.h"
#include "engine/vfs_file.h"

namespace kelvane {
namespace {

// Acts on the system.
class BuildExecutor : public PlanExecutor {
 public:
  bool dryRun() const override { return false; }
  std::unique_ptr<OutputFile> openTable(Platform& platform, const std::string& path) override {
    return platform.files.createOutput(path);
  }
  void removeFile(FolderTree& tree, const std::string& name, const std::string&) override {
    tree.deleteFile(name);
  }
  void removeFolder(FolderTree& tree, const std::string& name, const std::string&) override {
    tree.removeFolder(name);
  }
  bool reuseFolder(FolderTree& tree, const std::string& from, const std::string& to, bool toFree,
                   const std::string&, const std::string&) override {
    return tree.reuseFolder(from, to, toFree);
  }
  void makeLinkRoot(Platform& platform, std::unique_ptr<FolderTree>& linkRoot,
                    const std::string& path) override {
    linkRoot = platform.files.createFolderTree(path);
  }
  void makeFolder(FolderTree* linkRoot, const std::string& relative, const std::string&) override {
    linkRoot->makeFolder(relative);
  }
  void note(const std::string&) override {}
};

// Prints each step and changes nothing.
class DryRunExecutor : public PlanExecutor {
 public:
  DryRunExecutor(std::ostream& out, bool keepBackslash) : out_(out), keep_(keepBackslash) {}
  bool dryRun() const override { return true; }
  std::unique_ptr<OutputFile> openTable(Platform& platform, const std::string& path) override {
    // Making even a temporary file beside the table could stand in for the one a running
    // build is about to put in place.
    platform.files.checkOutput(path);
    return std::make_unique<TableDiff>(
        platform.files.fileExists(path) ? platform.files.openInput(path) : nullptr);
  }
  void removeFile(FolderTree& tree, const std::string& name, const std::string& shown) override {
    tree.checkRemoval(name);
    print("remove", shown);
  }
  void removeFolder(FolderTree&, const std::string&, const std::string& shown) override {
    print("remove", shown);
  }
  bool reuseFolder(FolderTree& tree, const std::string& from, const std::string& to, bool toFree,
                   const std::string& shownFrom, const std::string& shownTo) override {
    tree.checkRemoval(from);
    if (!tree.canReuseFolder(from, to, toFree)) return false;
    print("remove", shownFrom);
    print("create", shownTo);
    return true;
  }
  void makeLinkRoot(Platform&, std::unique_ptr<FolderTree>&, const std::string& path) override {
    print("create", path);
  }
  void makeFolder(FolderTree*, const std::string&, const std::string& shown) override {
    print("create", shown);
  }
  void note(const std::string& line) override { out_ << line << "\n"; }

 private:
  void print(const char* what, const std::string& path) {
    out_ << what << " " << visibleText(path, keep_) << "\n";
  }
  std::ostream& out_;
  bool keep_;
};

}  // namespace

Plan::Plan(Platform& platform, std::ostream* dryRun) : platform_(platform) {
  if (dryRun)
    executor_ = std::make_unique<DryRunExecutor>(*dryRun, platform.files.separator() == '\\');
  else
    executor_ = std::make_unique<BuildExecutor>();
}

Plan::~Plan() = default;

bool Plan::dryRun() const { return executor_->dryRun(); }

std::unique_ptr<OutputFile> Plan::openTable(const std::string& path) {
  auto table = executor_->openTable(platform_, path);
  if (executor_->dryRun()) diff_ = static_cast<TableDiff*>(table.get());
  return table;
}

std::string Plan::shown(const std::string& text) const {
  return visibleText(text, platform_.files.separator() == '\\');
}

void Plan::passOver(const std::string& path, const std::string& owner) {
  std::string why = "a link that " + owner +
                    " made, neither root nor the owner of the merge source, is not followed";
  platform_.messages.warn("kelvane: passing over \"" + shown(path) + "\": " + why);
  executor_->note("pass over " + shown(path) + ": " + why);
}

void Plan::conflict(const std::string& virtualPath, const std::string& first,
                    const std::string& second) {
  ++conflicts_;
  if (executor_->dryRun()) {
    executor_->note("conflict " + shown(virtualPath) + ": " + shown(first) + " and " +
                    shown(second));
    return;
  }
  platform_.messages.warn("kelvane: the virtual path \"" + shown(virtualPath) +
                          "\" is given by two merge sources, \"" + shown(first) + "\" and \"" +
                          shown(second) + "\": both entries are written and the server picks one");
}

std::string Plan::normalised(const std::string& relative) const {
  std::string out;
  for (std::string_view part : pathParts(relative, platform_.files.separators())) {
    if (!out.empty()) out += platform_.files.separator();
    out += part;
  }
  return out;
}

std::string Plan::keyOf(const std::string& normalisedPath) const {
  // Windows takes "Linux" and "linux" for one folder (ASCII letters; other letters are
  // left as they are).
  if (platform_.files.separator() != '\\') return normalisedPath;
  std::string key = normalisedPath;
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return key;
}

std::string Plan::relativeOf(FolderTree& tree, const std::string& name) const {
  std::string path = tree.currentPath() + name;
  if (path.compare(0, linkRootPath_.size(), linkRootPath_) == 0)
    path.erase(0, linkRootPath_.size());
  return keyOf(normalised(path));
}

bool Plan::records(bool asked) const {
  // Windows takes "Linux" for "linux": a caller's own look at a name cannot tell.
  return asked || platform_.files.separator() == '\\';
}

void Plan::removeFile(FolderTree& tree, const std::string& name, bool asked) {
  ++removed_;
  if (records(asked)) removedPaths_.insert(relativeOf(tree, name));
  executor_->removeFile(tree, name, tree.currentPath() + name);
}

void Plan::removeFolder(FolderTree& tree, const std::string& name, bool holdsUnlisted, bool asked) {
  std::string path = tree.currentPath() + name;
  if (holdsUnlisted)
    throw Failure(ENOTEMPTY,
                  "Cannot remove folder \"" + path +
                      "\": it holds entries that a folder listing does not show (names "
                      "starting with \".\", pipes, sockets or devices), which a build never "
                      "deletes. Remove them by hand, or move them out of the link root",
                  "remove folder");
  tree.checkRemoval(name);
  ++removed_;
  if (records(asked)) removedPaths_.insert(relativeOf(tree, name));
  executor_->removeFolder(tree, name, path);
}

bool Plan::reuseFolder(FolderTree& tree, const std::string& from, const std::string& to, bool asked,
                       bool toListed) {
  std::string target = relativeOf(tree, to);
  // What the listing did not show, or what was listed there and goes first, leaves to free
  // as far as this walk knows: no look at it is needed, by the build or its dry run.
  if (!executor_->reuseFolder(tree, from, to, !toListed || removedPaths_.count(target) > 0,
                              tree.currentPath() + from, tree.currentPath() + to))
    return false;
  removed_++;
  created_++;
  if (records(false)) removedPaths_.insert(relativeOf(tree, from));
  if (records(asked)) madePaths_.insert(target);
  return true;
}

void Plan::notRenamed(FolderTree& tree, const std::vector<std::string>& folder,
                      const std::string& to) {
  --created_;
  std::string path;
  for (const std::string& level : folder) path += level + platform_.files.separator();
  madePaths_.erase(relativeOf(tree, path + to));
}

void Plan::makeLinkRoot(std::unique_ptr<FolderTree>& linkRoot, const std::string& path) {
  if (linkRoot) return;
  ++created_;
  linkRootMade_ = true;
  // Asked for the build too: the dry run then fails where, and in the words, the build would.
  std::string folder = path.substr(0, path.size() - 1);
  platform_.files.checkFolderCreation(folder);
  executor_->makeLinkRoot(platform_, linkRoot, folder);
  if (linkRoot || executor_->dryRun()) return;
  throw Failure(ENOENT, "Cannot create folder \"" + path + "\"", "mkdir");
}

void Plan::makeFolder(FolderTree* linkRoot, const std::string& relative, bool asked) {
  std::string rel = normalised(relative);
  std::string key = keyOf(rel);
  if (rel.empty() || madePaths_.count(key)) return;  // the link root, or made already
  std::string shown = linkRootPath_ + rel;
  // Below a folder this plan made, or a link root it made, nothing is there yet; a level
  // this plan removed is not there either. Only what neither says is asked of the system,
  // so a build and its dry run, which changed nothing, decide alike.
  bool belowNew = linkRootMade_ || !linkRoot;
  const char separator = platform_.files.separator();
  for (size_t cut = rel.find(separator); cut != std::string::npos;
       cut = rel.find(separator, cut + 1)) {
    std::string level = key.substr(0, cut);
    if (madePaths_.count(level)) {
      belowNew = true;
      continue;
    }
    if (belowNew || removedPaths_.count(level))
      throw Failure(ENOENT,
                    "Cannot create folder \"" + shown + "\": the folder \"" + linkRootPath_ +
                        rel.substr(0, cut) + "\" that holds it is not there",
                    "mkdir");
  }
  bool missing = belowNew || removedPaths_.count(key) || !linkRoot->holdsFolder(rel);
  if (!missing) return;
  ++created_;
  if (records(asked)) madePaths_.insert(key);
  executor_->makeFolder(linkRoot, rel, shown);
}

void Plan::finish(VfsWriter& table) {
  table.commit();  // the dry run's table only counts
  if (!executor_->dryRun()) return;
  executor_->note(
      "summary: " + std::to_string(removed_) + " to remove, " + std::to_string(created_) +
      " to create; table lines: " + std::to_string(diff_->added()) + " added, " +
      std::to_string(diff_->dropped()) + " dropped; conflicts: " + std::to_string(conflicts_) +
      (recordUsed_ ? "; unchanged since the last build's record: " + std::to_string(fromRecord_) +
                         " folders"
                   : ""));
}

}  // namespace kelvane
