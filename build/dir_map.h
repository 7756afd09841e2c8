#pragma once

#include <string>

#include "build/dir_table.h"
#include "platform/platform.h"

namespace kelvane {

// Lists one folder at a time into a DirTable: the subfolders of every merge source. (The
// old mirror is removed by its own walk, which never records full paths.)
class FolderScan {
 public:
  FolderScan(Platform& platform, DirTable& table) : platform_(platform), table_(table) {}

  // Lists Path (its contents when it ends in the separator, else the one entry it names)
  // and adds a row for every visible folder at Path & N, recording the bare name N and
  // skipping a name that the VFS table could not hold.
  void DirMap(const std::string& Path, const std::string& genrex, int mode = MODE_MAP);

 private:
  Platform& platform_;
  DirTable& table_;
  std::string full_;  // reused for every entry
};

}  // namespace kelvane
