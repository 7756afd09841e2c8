#include "engine/link_root_check.h"

#include <algorithm>

#include "base/failure.h"
#include "platform/platform.h"

namespace kelvane {
namespace {

const char* const kSource = "check link root";

[[noreturn]] void refuse(const std::string& why) {
  throw Failure(kErrRefused, "Refused to build: " + why, kSource);
}

void refuseIfWithin(Platform& platform, const FileIdentity& root, const std::string& linkRoot,
                    const std::string& what, const std::string& path) {
  if (path.empty()) return;
  // As named, a link in the link root would itself be deleted; followed, its target would.
  for (bool followLast : {false, true}) {
    std::vector<FileIdentity> chain = platform.files.chainOf(path, followLast);
    auto at = std::find(chain.begin(), chain.end(), root);
    if (at == chain.end()) continue;
    std::string where = at == chain.begin() ? "is" : "holds";
    refuse("the link root \"" + linkRoot + "\" " + where + " the " + what + " \"" + path + "\" (" +
           platform.files.resolvedPath(path) +
           "); removing the old mirror folders would delete it. Choose a link root that "
           "holds only mirror folders");
  }
}

bool sameFile(Platform& platform, const std::string& a, const std::string& b) {
  // A path that names nothing has the chain of the folder it would be in.
  if (!platform.files.fileExists(a) || !platform.files.fileExists(b)) return false;
  for (bool followLast : {false, true}) {
    auto chainA = platform.files.chainOf(a, followLast),
         chainB = platform.files.chainOf(b, followLast);
    if (!chainA.empty() && !chainB.empty() && chainA.front() == chainB.front()) return true;
  }
  return false;
}

}  // namespace

void refuseUnsafeLinkRoot(Platform& platform, FolderTree* tree, const std::string& typedLinkRoot,
                          const AppState& state) {
  const Settings& s = state.settings;
  if (typedLinkRoot.empty())
    refuse("the link root (the first line of \"" + state.datPath +
           "\") is empty; it must name a folder given over to mirror folders");
  if (sameFile(platform, s.VFS, state.datPath))
    refuse("the output VFS file \"" + s.VFS + "\" is the settings file \"" + state.datPath +
           "\"; writing the table would overwrite the settings. Name the server's table");
  if (!tree) return;  // nothing there yet: nothing will be removed
  std::vector<FileIdentity> chain = tree->chain();
  if (chain.size() == 1)
    refuse("the link root \"" + s.WhereCreate + "\" (" +
           platform.files.resolvedPath(s.WhereCreate) +
           ") is the root of a file system; removing the old mirror folders would empty it. "
           "Choose a folder given over to mirror folders");
  const FileIdentity& root = chain.front();
  for (const MergeSource& source : s.sources)
    refuseIfWithin(platform, root, s.WhereCreate, "merge source", source.path);
  refuseIfWithin(platform, root, s.WhereCreate, "input VFS file", s.VFSold);
  refuseIfWithin(platform, root, s.WhereCreate, "output VFS file", s.VFS);
  refuseIfWithin(platform, root, s.WhereCreate, "settings file", state.datPath);
  std::vector<std::string> mounts = tree->mountsBelow();
  if (!mounts.empty())
    refuse("\"" + mounts.front() + "\" is mounted below the link root \"" + s.WhereCreate +
           "\"; removing the old mirror folders would reach into it. Unmount it or choose "
           "another link root");
}

}  // namespace kelvane
