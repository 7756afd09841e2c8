#include "engine/build_run.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>

#include "base/failure.h"
#include "engine/build_lock.h"
#include "engine/build_record.h"
#include "engine/dir_map.h"
#include "engine/entry_encoding.h"
#include "engine/link_removal.h"
#include "engine/link_root_check.h"
#include "engine/plan.h"
#include "engine/value_check.h"
#include "engine/vfs_file.h"
#include "platform/platform.h"

namespace kelvane {
namespace {

const char* const kFixDat = "Make sure the path is properly written in dat";
const char* const kFixLines = "Make sure you entered the lines in proper format in the dat";

// Every refusal of the settings and every failure looking at the link root is reported
// under this step, whose fix says where to look.
const RunStep kChecking{"Checking the folder to create structure in",
                        "Change in the dat what the error description names; the folder to create "
                        "structure in must be a folder of its own that this account can read"};
const RunStep kWaiting{"Waiting for other builds of the link root and the output VFS file",
                       "Make sure the account running the build can read the folders holding the "
                       "link root and the output VFS file"};
const RunStep kMapping{"Mapping out directory structure",
                       "Make sure every merge folder in the dat exists and this account can read "
                       "it"};
const RunStep kDeleting{"Deleting old structure", "Manual deletion of structure"};
const RunStep kCreatingLinkRoot{
    "Creating the physical merge path if it doesn't exist",
    "Make sure the path is possible to create on your HD (drive must exist)"};
const RunStep kCreatingGenre{"Creating substructure (if exists)", kFixLines};
const RunStep kCreatingMirror{"Creating merged structure", kFixLines};

// The two tables are one file however they are spelled ("a/../t.vfs" and "t.vfs", a link to
// it, a second hard link): the old lines are then the table's own.
bool isOneTable(Platform& platform, const std::string& input, const std::string& output) {
  if (input == output) return true;
  if (!platform.files.fileExists(input) || !platform.files.fileExists(output)) return false;
  auto one = platform.files.chainOf(input, true), two = platform.files.chainOf(output, true);
  return !one.empty() && !two.empty() && one.front() == two.front();
}

// Each virtual path that two merge sources give (two folders of one name under one genre),
// named once with the first two folders that give it, in the order of the rows that repeat
// a path. Two rows give one path only when they put one name in one genre folder: only the
// rows whose mirror folder an earlier row has already named are compared, by their paths.
void nameConflicts(const DirTable& table, Layout& layout, const std::string& virtualRoot,
                   Plan& plan) {
  std::map<const Layout::Node*, std::vector<uint32_t>> firstRows;  // by mirror folder
  std::vector<std::pair<uint32_t, uint32_t>> repeats;  // the first row of the folder, a later one
  for (size_t row = 1; row <= table.count(); ++row) {
    const Layout::Node& node = layout.nodeOfRow(table, row);
    std::vector<uint32_t>& firsts = firstRows[&node];
    firsts.resize(node.mirrors.size());
    uint32_t& first = firsts[layout.mirrorOfRow(row)];
    if (first == 0)
      first = static_cast<uint32_t>(row);
    else
      repeats.emplace_back(first, static_cast<uint32_t>(row));
  }
  std::sort(repeats.begin(), repeats.end());
  auto physical = [&](size_t row) {
    return std::string(table.parents(row)).append(table.names(row));
  };
  std::vector<std::pair<size_t, size_t>> found;  // the row that repeats a path, its first
  for (size_t i = 0, j = 0; i < repeats.size(); i = j) {
    // Genres spelled differently ("a//b", "a/b") share the folder, not the virtual path.
    struct Path {
      size_t first;
      bool named;
    };
    std::vector<Path> paths{{repeats[i].first, false}};
    for (j = i; j < repeats.size() && repeats[j].first == repeats[i].first; ++j) {
      size_t row = repeats[j].second;
      auto same = std::find_if(paths.begin(), paths.end(), [&](const Path& path) {
        return table.virtGenre(path.first) == table.virtGenre(row);
      });
      if (same == paths.end()) {
        paths.push_back({row, false});
      } else if (!same->named && physical(row) != physical(same->first)) {
        // One folder listed twice is no conflict.
        found.emplace_back(row, same->first);
        same->named = true;
      }
    }
  }
  std::sort(found.begin(), found.end());
  for (const auto& [row, first] : found)
    plan.conflict(virtualRoot + "/" + table.virtGenre(first) + std::string(table.names(first)),
                  physical(first), physical(row));
}

// One build, phase by phase. Each phase runs under its step, which every failure in it is
// reported under; run() lists them in the order they run.
class Build {
 public:
  Build(Platform& platform, AppState& state, std::ostream* dryRun)
      : platform_(platform), state_(state), s_(state.settings), plan_(platform, dryRun) {}

  size_t run() {
    checkSettings();
    waitForOtherBuilds();
    checkLinkRoot();
    openTables();
    copyOldLines();
    chooseEntryEncoding();
    mapSources();
    removeOldStructure();
    writeRootEntry();
    createLinkRoot();
    createMirrorFolders();
    replaceTable();
    keepRecord();
    return plan_.changes();
  }

 private:
  // The link root always ends in the separator; later phases and the report see it so.
  // Everything in the settings that could make the build reach outside what the user gave
  // it is refused here, before anything is touched.
  void checkSettings() {
    inStep(kChecking, [&] {
      takeSettingsAsText(platform_, s_);
      reading_ = {"Reading old VFS file (" + s_.VFSold + ")", "Make sure this file exists!"};
      writing_ = {"Writing new VFS file (" + s_.VFS + ")", kFixDat};
      sameTable_ = isOneTable(platform_, s_.VFSold, s_.VFS);
      typedLinkRoot_ = s_.WhereCreate;
      if (s_.WhereCreate.empty() ||
          platform_.files.separators().find(s_.WhereCreate.back()) == std::string_view::npos)
        s_.WhereCreate += platform_.files.separator();
      refuseUnsafeValues(state_, !sameTable_, platform_.files.separators());
      plan_.setLinkRoot(s_.WhereCreate);
    });
  }

  // Builds that share the link root or the table would remove and write the same things;
  // a dry run waits for them so as not to show a half-done change.
  void waitForOtherBuilds() {
    inStep(kWaiting, [&] {
      locks_ = takeTurns(platform_, {{s_.WhereCreate, Guarded::LinkRoot}, {s_.VFS, Guarded::Table}},
                         plan_.dryRun(), state_.waitSeconds);
    });
  }

  // The link root is opened once: the checks look at this folder and the removal empties
  // this same folder, whatever its name leads to meanwhile.
  void checkLinkRoot() {
    inStep(kChecking, [&] {
      if (!typedLinkRoot_.empty()) linkRoot_ = platform_.files.openFolderTree(s_.WhereCreate);
      refuseUnsafeLinkRoot(platform_, linkRoot_.get(), typedLinkRoot_, state_);
    });
  }

  // Both tables are opened before anything is deleted, so that a build that could not read
  // or write them fails with the mirror still in place.
  void openTables() {
    inStep(reading_, [&] {
      oldTable_ = std::make_unique<OldTableReader>(platform_.files.openInput(s_.VFSold));
    });
    inStep(writing_, [&] { vfs_.emplace(plan_.openTable(s_.VFS), s_); });
  }

  // The old lines, copied as they are, before anything is removed: the output is a new file
  // until the commit, so an input that is also the output is read as it was. A line of any
  // length is copied in pieces.
  void copyOldLines() {
    std::string piece;
    while (inStep(reading_, [&] { return oldTable_->nextPiece(piece); }))
      inStep(writing_, [&] { vfs_->writeOld(piece, oldTable_->lineEnded()); });
  }

  // The new entries are written in the old lines' encoding; a setting that encoding cannot
  // hold is refused before anything is removed.
  void chooseEntryEncoding() {
    encoding_.emplace(platform_, s_.textIsUtf8 && oldTable_->allUtf8());
    // Closed at once: a table that is also the output is not held open while it is replaced.
    oldTable_.reset();
    inStep(kChecking, [&] { refuseUnencodableValues(state_, !sameTable_, *encoding_); });
    vfs_->encodeEntriesIn(*encoding_);
  }

  // Every source's subfolders, after those of the sources before it, known before anything
  // is removed: a source that cannot be read stops the build with the mirror whole.
  // With the last build's record, a source that has not changed since gives the rows it gave
  // then without being listed again.
  void mapSources() {
    inStep(kMapping, [&] {
      FolderScan scan(platform_, table_, &*encoding_);
      keepsRecord_ = keepsRecord();
      if (keepsRecord_ && linkRoot_) {
        linkRootId_ = linkRoot_->chain().front();
        record_.emplace(platform_, linkRootId_, fingerprint_, s_.WhereCreate);
        // The walk's first looks, taken while the sources are read and the layout is made.
        if (!sameTable_ && record_->inUse())
          linkRoot_->lookAhead(record_->mirrorsAhead(*linkRoot_, linkRootId_.device));
      }
      if (keepsRecord_) scan.useRecord(record_ ? &*record_ : nullptr, &scanned_);
      for (const MergeSource& source : s_.sources) scan.DirMap(source.path, source.genre);
      for (const FolderScan::PassedOver& link : scan.passedOver())
        plan_.passOver(link.path, link.owner);
      layout_.emplace(table_, platform_.files.separators());
      nameConflicts(table_, *layout_, s_.VirtualR, plan_);
      if (keepsRecord_ && !sameTable_) {
        layout_->keepStamps();
        layout_->stampDevice = linkRootId_.device;
      }
      if (record_ && record_->inUse()) record_->recallMirrors(*layout_);
    });
  }

  // A record is read and kept only where the system keeps times a build can trust, and the
  // running account has a state folder to keep it in.
  bool keepsRecord() {
    if (!platform_.files.keepsRecords()) return false;
    try {
      platform_.files.userStateFolder();
    } catch (const Failure&) {
      return false;
    }
    fingerprint_ = settingsFingerprint(s_);
    return true;
  }

  // What the new layout does not hold goes, unless the table is being added to in place;
  // the folders both layouts share stay where they are.
  void removeOldStructure() {
    inStep(kDeleting, [&] {
      if (!sameTable_ && linkRoot_) reconcileLinkRoot(*linkRoot_, *layout_, plan_);
      if (record_ && record_->inUse())
        plan_.tookFromRecord(layout_->takenFromRecord + record_->sourcesTaken());
    });
  }

  void writeRootEntry() {
    inStep({"Writing path to merge folder in new VFS file (" + s_.VFS + ")", kFixDat}, [&] {
      if (!sameTable_) vfs_->writeRootEntry();
    });
  }

  // One level only: the link root's parent must exist.
  void createLinkRoot() {
    inStep(kCreatingLinkRoot, [&] { plan_.makeLinkRoot(linkRoot_, s_.WhereCreate); });
  }

  // Each row's genre folder, its mirror folder, then its entry. Every folder is made from the
  // link root as opened, never through a link.
  void createMirrorFolders() {
    const RunStep addingEntry{"Adding merged path entry to the new VFS file (" + s_.VFS + ")",
                              kFixDat};
    std::string mirrorFolder;
    for (size_t row = 1; row <= table_.count(); ++row) {
      const std::string& physGenre = table_.physGenre(row);
      Layout::Node& genre = layout_->nodeOfRow(table_, row);
      // A folder found by the walk, or made for an earlier row, is there already.
      inStep(kCreatingGenre, [&] {
        if (genre.markPresent() && !physGenre.empty()) plan_.makeFolder(linkRoot_.get(), physGenre);
      });
      inStep(kCreatingMirror, [&] {
        std::string_view name = table_.names(row);
        size_t mirror = layout_->mirrorOfRow(row);
        if (genre.markMirrorPresent(mirror)) {
          mirrorFolder.assign(physGenre).append(name);
          // Only a mirror folder named as a genre folder has folders made in it.
          plan_.makeFolder(linkRoot_.get(), mirrorFolder, genre.genres.count(name) > 0);
        }
      });
      inStep(addingEntry, [&] { vfs_->writeMergedEntry(table_, row); });
    }
    // What the build left, for the next build's record: looked at once the last folder is
    // made, so that a change after it shows.
    inStep(kCreatingMirror, [&] {
      if (!keepsRecord_ || plan_.dryRun() || !linkRoot_) return;
      linkRootId_ = linkRoot_->chain().front();
      if (sameTable_) return;
      layout_->stampDevice = linkRootId_.device;
      lookAtLeftFolders(*linkRoot_, *layout_, platform_.files.separator());
    });
    linkRoot_.reset();
  }

  // Only a complete build replaces the table; putting it in place is still writing it.
  void replaceTable() {
    inStep(writing_, [&] { plan_.finish(*vfs_); });
  }

  // Only a complete build leaves a record; one that cannot be kept is said, and the build
  // has succeeded all the same.
  void keepRecord() {
    if (!keepsRecord_ || plan_.dryRun() || linkRootId_ == FileIdentity{}) return;
    writeBuildRecord(platform_, linkRootId_, fingerprint_, scanned_, table_,
                     sameTable_ ? nullptr : &*layout_);
  }

  Platform& platform_;
  AppState& state_;
  Settings& s_;
  RunStep reading_, writing_;  // named after the tables as the settings give them
  bool sameTable_ = false;
  std::string typedLinkRoot_;  // the link root as the settings give it
  Plan plan_;
  std::vector<std::unique_ptr<PathLock>> locks_;
  std::unique_ptr<FolderTree> linkRoot_;
  std::unique_ptr<OldTableReader> oldTable_;
  std::optional<VfsWriter> vfs_;
  std::optional<EntryEncoding> encoding_;
  DirTable table_;
  std::optional<Layout> layout_;
  bool keepsRecord_ = false;
  uint64_t fingerprint_ = 0;
  FileIdentity linkRootId_;
  std::optional<LastBuildRecord> record_;
  std::vector<ScannedSource> scanned_;
};

}  // namespace

size_t runBuild(Platform& platform, AppState& state, std::ostream* dryRun) {
  return Build(platform, state, dryRun).run();
}

}  // namespace kelvane
