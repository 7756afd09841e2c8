#pragma once

#include <string>

#include "build/dir_table.h"

namespace kelvane {

class Platform;

// Empties the link root (which ends in "/") of the previous build's mirror: every plain
// file and link below it is deleted and every folder removed, deepest first; the link root
// itself stays. Links are deleted as links and never entered. The table is walked breadth
// first and is empty again afterwards. Throws kelvane::Failure on a file that cannot be
// deleted (read-only) or a folder that cannot be removed (it still holds hidden entries).
void removeOldStructure(Platform& platform, DirTable& table, const std::string& WhereCreate);

}  // namespace kelvane
