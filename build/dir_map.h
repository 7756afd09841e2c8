#pragma once

#include <string>

#include "build/dir_table.h"
#include "platform/platform.h"

namespace kelvane {

// Lists one folder at a time into a DirTable. In MODE_DELETE it also deletes every plain
// file and symbolic link it meets, so it only works below the removal root it was made
// with, and never follows a link there.
class FolderScan {
 public:
  // removalRoot ends in "/"; leave it empty for a scan that only maps.
  FolderScan(Platform& platform, DirTable& table, std::string removalRoot = "")
      : platform_(platform), table_(table), removalRoot_(std::move(removalRoot)) {}

  // Lists Path (its contents when it ends in "/", else the one entry it names) and adds a
  // row for every visible folder at Path & N. Map mode records the bare name N and skips a
  // name that the VFS table could not hold; delete mode records Path & N & "/".
  void DirMap(const std::string& Path, const std::string& genrex, int mode);

 private:
  void mapEntry(const std::string& Path, bool listedIsFull, const DirEntry& entry);
  void deleteEntry(const std::string& Path, const DirEntry& entry);

  Platform& platform_;
  DirTable& table_;
  std::string removalRoot_;
  std::string full_;  // reused for every entry
};

}  // namespace kelvane
