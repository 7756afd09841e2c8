#include "engine/build_run.h"

#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "base/failure.h"
#include "engine/build_lock.h"
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
// named once with the first two folders that give it.
void nameConflicts(const DirTable& table, const std::string& virtualRoot, Plan& plan) {
  std::unordered_map<std::string, size_t> first;  // virtual path below the root, first row
  std::unordered_set<std::string> named;
  std::string key;
  for (size_t row = 1; row <= table.count(); ++row) {
    key.assign(table.virtGenre(row)).append(table.names(row));
    auto [at, added] = first.emplace(key, row);
    if (added) continue;
    size_t earlier = at->second;
    std::string one = table.parents(earlier) + table.names(earlier);
    std::string other = table.parents(row) + table.names(row);
    if (one == other || !named.insert(key).second) continue;  // one folder, listed twice
    plan.conflict(virtualRoot + "/" + key, one, other);
  }
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
  void mapSources() {
    inStep(kMapping, [&] {
      FolderScan scan(platform_, table_, &*encoding_);
      for (const MergeSource& source : s_.sources) scan.DirMap(source.path, source.genre);
      for (const FolderScan::PassedOver& link : scan.passedOver())
        plan_.passOver(link.path, link.owner);
      nameConflicts(table_, s_.VirtualR, plan_);
      layout_.emplace(table_, platform_.files.separators());
    });
  }

  // What the new layout does not hold goes, unless the table is being added to in place;
  // the folders both layouts share stay where they are.
  void removeOldStructure() {
    inStep(kDeleting, [&] {
      if (!sameTable_ && linkRoot_) reconcileLinkRoot(*linkRoot_, *layout_, plan_);
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
      Layout::Node& genre = layout_->genreNode(physGenre);
      // A folder found by the walk, or made for an earlier row, is there already.
      inStep(kCreatingGenre, [&] {
        if (genre.markPresent() && !physGenre.empty()) plan_.makeFolder(linkRoot_.get(), physGenre);
      });
      inStep(kCreatingMirror, [&] {
        size_t mirror = static_cast<size_t>(genre.mirrorIndex(table_.names(row)));
        if (genre.markMirrorPresent(mirror)) {
          mirrorFolder.assign(physGenre).append(table_.names(row));
          plan_.makeFolder(linkRoot_.get(), mirrorFolder);
        }
      });
      inStep(addingEntry, [&] { vfs_->writeMergedEntry(table_, row); });
    }
    linkRoot_.reset();
  }

  // Only a complete build replaces the table; putting it in place is still writing it.
  void replaceTable() {
    inStep(writing_, [&] { plan_.finish(*vfs_); });
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
};

}  // namespace

size_t runBuild(Platform& platform, AppState& state, std::ostream* dryRun) {
  return Build(platform, state, dryRun).run();
}

}  // namespace kelvane
