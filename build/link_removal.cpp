#include "build/link_removal.h"

#include "build/dir_map.h"
#include "platform/platform.h"

namespace kelvane {

void removeOldStructure(Platform& platform, DirTable& table, const std::string& WhereCreate) {
  FolderScan scan(platform, table, WhereCreate);
  table.clear();
  scan.DirMap(WhereCreate, "", MODE_DELETE);
  if (table.count() == 0) return;  // files only: they are gone already
  // Rows added while walking are walked in their turn: parents always come before their
  // children, so removing in reverse order finds every folder empty.
  for (size_t walk = 1; walk <= table.count(); ++walk) {
    // The row's text is copied: the scan appends to the table it comes from.
    std::string folder = table.names(walk);
    scan.DirMap(folder, "", MODE_DELETE);
  }
  for (size_t row = table.count(); row >= 1; --row) {
    const std::string& folder = table.names(row);
    platform.removeFolderForRemoval(WhereCreate, folder.substr(0, folder.size() - 1));
  }
  table.clear();
}

}  // namespace kelvane
