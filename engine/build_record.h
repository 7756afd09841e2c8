#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/dir_table.h"
#include "engine/layout.h"
#include "platform/platform.h"
#include "settings/settings.h"

namespace kelvane {

// What the scan saw of one merge source: the look before its listing and, when the listing
// can be told again from that look alone, the rows it gave.
struct ScannedSource {
  std::string path;
  FolderStamp seen;
  // Its rows were every folder the listing named, and nothing else in it (a link, a name
  // the table cannot hold) needed a look of its own.
  bool repeatable = false;
  size_t firstRow = 0, rows = 0;
};

// The last build's record of the link root, as a build reads it: the merge sources in the
// order the settings give them, then what it saw of each mirror folder. Missing, damaged,
// of another version, refused (another account's, or where another account could change
// it) or kept for other settings, it is not used: the build looks at everything in full,
// and says so in one line on standard error.
class LastBuildRecord {
 public:
  // fingerprint: settingsFingerprint() of the build's settings. linkRoot: the link root's
  // identity; shown: its path, for the line on standard error.
  LastBuildRecord(Platform& platform, const FileIdentity& linkRoot, uint64_t fingerprint,
                  const std::string& shown);
  ~LastBuildRecord();
  bool inUse() const { return used_; }
  // The sources recallSource gave the rows of.
  size_t sourcesTaken() const { return sourcesTaken_; }

  // For the merge sources in the order of the settings: when the record's next source is
  // path and its rows were repeatable, looks at its folder (seen); when that shows it
  // unchanged, gives each of its rows' names to take, in the listing's order, and returns
  // true. Must be called once for each source listed in full, in order.
  template <class Take>
  bool recallSource(const std::string& path, FolderStamp& seen, Take&& take);

  // Puts what the record saw of each mirror folder beside the layout's mirrors; called once,
  // after every source.
  void recallMirrors(Layout& layout);
  // The first of the mirror folders the record names, by genre folder, in the genre folders of
  // tree (the link root, on device) that a look shows as the record saw them: those the walk
  // will look at first, without listing their folder; and, to list, the genre folders that
  // no longer show it. Given once.
  std::vector<FoldersAhead> mirrorsAhead(FolderTree& tree, uint64_t device);

 private:
  class Reader;
  bool nextSource(const std::string& path, FolderStamp& seen);
  bool nextName(std::string& name);
  // Reads what the record saw of each mirror folder into layout; ahead, when given, takes
  // the first of their names.
  void readMirrors(Layout& layout, std::vector<FoldersAhead>* ahead = nullptr);
  void drop(const std::string& why);

  Platform& platform_;
  std::string shown_;
  std::unique_ptr<RecordInput> input_;
  std::unique_ptr<Reader> reader_;
  uint32_t sourcesLeft_ = 0, namesLeft_ = 0;
  size_t sourcesTaken_ = 0;
  bool used_ = false;
  std::vector<FoldersAhead> mirrorsAhead_;
  std::vector<Layout::MirrorStamp> aheadGenres_;  // what the record saw of their folders
};

template <class Take>
bool LastBuildRecord::recallSource(const std::string& path, FolderStamp& seen, Take&& take) {
  if (!nextSource(path, seen)) return false;
  std::string name;
  while (nextName(name)) take(name);
  return true;
}

// What makes a record one of these settings: every value and merge line.
uint64_t settingsFingerprint(const Settings& settings);

// The file of the record of the link root with identity linkRoot.
std::string recordPath(Files& files, const FileIdentity& linkRoot);

// Looks once at each mirror folder of the layout that the walk did not find unchanged
// (made, emptied or new), from the link root as tree, so that the record holds what the
// build left.
void lookAtLeftFolders(FolderTree& tree, Layout& layout, char separator);

// Writes the record of this build: the sources as scanned, the mirrors as the layout saw
// them (none when withMirrors is false). A record that cannot be written is named on
// standard error; the build has succeeded all the same.
void writeBuildRecord(Platform& platform, const FileIdentity& linkRoot, uint64_t fingerprint,
                      const std::vector<ScannedSource>& sources, const DirTable& table,
                      Layout* layout);

}  // namespace kelvane
