#pragma once

#include <string>
#include <vector>

#include "engine/build_record.h"
#include "engine/dir_table.h"
#include "engine/entry_encoding.h"
#include "platform/platform.h"

namespace kelvane {

// Lists one folder at a time into a DirTable: the subfolders of every merge source. (The
// old mirror is removed by its own walk, which never records full paths.)
class FolderScan {
 public:
  // With encoding, a name that the new entries' encoding cannot hold is skipped too.
  FolderScan(Platform& platform, DirTable& table, const EntryEncoding* encoding = nullptr)
      : platform_(platform), table_(table), encoding_(encoding) {}

  // Lists Path (its contents when it ends in the separator, else the one entry it names)
  // and adds a row for every visible folder at Path & N, recording the bare name N and
  // skipping a name that the VFS table could not hold.
  void DirMap(const std::string& Path, const std::string& genrex, int mode = MODE_MAP);

  // A link in a source that another account made: never followed, so no row.
  struct PassedOver {
    std::string path;
    std::string owner;
  };
  const std::vector<PassedOver>& passedOver() const { return passedOver_; }

  // Sources unchanged since the last build's record give its rows without being listed
  // again; every source scanned is kept in scanned, for this build's record.
  void useRecord(LastBuildRecord* record, std::vector<ScannedSource>* scanned) {
    record_ = record;
    scanned_ = scanned;
  }

 private:
  Platform& platform_;
  DirTable& table_;
  const EntryEncoding* encoding_;
  std::string full_;  // reused for every entry
  std::vector<PassedOver> passedOver_;
  LastBuildRecord* record_ = nullptr;
  std::vector<ScannedSource>* scanned_ = nullptr;

  // The row for name, unless the table cannot hold it; false for a name left out.
  bool addRow(const std::string& name);
};

}  // namespace kelvane
