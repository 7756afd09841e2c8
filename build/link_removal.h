#pragma once

namespace kelvane {

class FolderTree;

// Empties the link root, opened as tree, of the previous build's mirror: every plain file
// and link below it is deleted and every folder removed, each folder's contents before the
// folder itself; the link root itself stays. Links are deleted as links and never entered,
// and the walk keeps one list of names per level, so memory grows with the tree and not with
// its depth squared. Throws kelvane::Failure on a file that cannot be deleted (read-only),
// a folder that cannot be removed (it still holds hidden entries) or one that cannot be
// entered (another file system or mount).
void removeOldStructure(FolderTree& tree);

}  // namespace kelvane
