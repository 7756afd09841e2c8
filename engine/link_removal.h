#pragma once

#include "engine/layout.h"

namespace kelvane {

class FolderTree;
class Plan;
struct Platform;

// Brings the link root, opened as tree, to the layout: every plain file and link below it
// goes, and every folder that is not a folder of the layout, each folder's contents before
// the folder itself; folders of the layout that this build could have made stay (emptied of
// anything else) and are marked present. Links are deleted as links and never entered,
// and memory grows with the tree, not with its depth squared. Throws kelvane::Failure on a
// file that cannot be deleted (read-only), a folder that cannot be removed (it still holds
// entries the listing leaves out: hidden names, pipes, sockets, devices) or one that cannot be
// entered (another file system or mount).
//
// Callers must hold: tree is at its own folder (nothing entered yet). Where folders are made
// after it (Plan::makeFolder), plan's link root (setLinkRoot) is the path tree was opened at
// and they are made from this same layout: the plan decides from what the walk removed, and
// the layout marks what it found there already.
void reconcileLinkRoot(FolderTree& tree, Layout& layout, Plan& plan);

// Empties the link root of everything the listing shows; the link root itself stays.
void removeOldStructure(Platform& platform, FolderTree& tree);

}  // namespace kelvane
