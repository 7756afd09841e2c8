#pragma once

#include <cstddef>
#include <iosfwd>

#include "engine/layout.h"

namespace kelvane {

class FolderTree;

// What the walk of the link root did, or in a dry run would do.
struct Changes {
  std::ostream* dryRun = nullptr;  // set: change nothing, print each change here instead
  size_t removed = 0;
  size_t created = 0;

  void remove(const std::string& path);  // counts, and prints in a dry run
  void create(const std::string& path);
};

// Brings the link root, opened as tree, to the layout: every plain file and link below it
// goes, and every folder that is not a folder of the layout, each folder's contents before
// the folder itself; folders of the layout that this build could have made stay (emptied of
// anything else) and are marked present. Links are deleted as links and never entered,
// and memory grows with the tree, not with its depth squared. Throws kelvane::Failure on a
// file that cannot be deleted (read-only), a folder that cannot be removed (it still holds
// hidden entries) or one that cannot be entered (another file system or mount).
void reconcileLinkRoot(FolderTree& tree, Layout& layout, Changes& changes);

// Empties the link root of everything the listing shows; the link root itself stays.
void removeOldStructure(FolderTree& tree);

}  // namespace kelvane
