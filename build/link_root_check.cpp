#include "build/link_root_check.h"

#include "platform/failure.h"
#include "platform/platform.h"

namespace kelvane {
namespace {

const char* const kSource = "check link root";

bool isWithin(const std::string& path, const std::string& folder) {
  return path == folder ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
          path[folder.size()] == '/');
}

[[noreturn]] void refuse(const std::string& why) {
  throw Failure(kErrRefused, "Refused to build: " + why, kSource);
}

void refuseIfWithin(Platform& platform, const std::string& linkRoot,
                    const std::string& resolvedRoot, const std::string& what,
                    const std::string& path) {
  if (path.empty()) return;
  std::string resolved = platform.resolvedPath(path);
  if (!isWithin(resolved, resolvedRoot)) return;
  std::string where = resolved == resolvedRoot ? "is" : "holds";
  refuse("the link root \"" + linkRoot + "\" " + where + " the " + what + " \"" + path + "\" (" +
         resolved + "); removing the old mirror folders would delete it. Choose " +
         "a link root that holds only mirror folders");
}

}  // namespace

void refuseUnsafeLinkRoot(Platform& platform, const std::string& typedLinkRoot,
                          const AppState& state) {
  const Settings& s = state.settings;
  if (typedLinkRoot.empty())
    refuse("the link root (the first line of \"" + state.datPath +
           "\") is empty; it must name a folder given over to mirror folders");
  std::string resolvedRoot = platform.resolvedPath(s.WhereCreate);
  if (resolvedRoot == "/")
    refuse("the link root \"" + s.WhereCreate +
           "\" is the root of the file system; removing the old mirror folders would "
           "empty it. Choose a folder given over to mirror folders");
  for (const MergeSource& source : s.sources)
    refuseIfWithin(platform, s.WhereCreate, resolvedRoot, "merge source", source.path);
  refuseIfWithin(platform, s.WhereCreate, resolvedRoot, "input VFS file", s.VFSold);
  refuseIfWithin(platform, s.WhereCreate, resolvedRoot, "output VFS file", s.VFS);
  refuseIfWithin(platform, s.WhereCreate, resolvedRoot, "settings file", state.datPath);
}

}  // namespace kelvane
