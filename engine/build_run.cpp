#include "engine/build_run.h"

#include <memory>
#include <unordered_map>
#include <unordered_set>

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

}  // namespace

void runBuild(Platform& platform, AppState& state, std::ostream* dryRun) {
  Settings& s = state.settings;
  RunStep& step = state.runStep;
  const char separator = platform.files.separator();

  // 1. The link root always ends in the separator; later phases and the report see it so.
  // Everything that could make the build reach outside what the user gave it is refused
  // here, before anything is touched.
  step = {"Checking the folder to create structure in", ""};
  takeSettingsAsText(platform, s);
  const bool sameTable = isOneTable(platform, s.VFSold, s.VFS);
  std::string typedLinkRoot = s.WhereCreate;
  if (s.WhereCreate.empty() ||
      platform.files.separators().find(s.WhereCreate.back()) == std::string_view::npos)
    s.WhereCreate += separator;
  refuseUnsafeValues(state, !sameTable, platform.files.separators());
  // Builds that share the link root or the table would remove and write the same things;
  // a dry run waits for them so as not to show a half-done change.
  Plan plan(platform, dryRun);
  plan.setLinkRoot(s.WhereCreate);
  step = {"Waiting for other builds of the link root and the output VFS file",
          "Make sure the account running the build can read the folders holding the link root "
          "and the output VFS file"};
  auto locks = takeTurns(platform, {s.WhereCreate, s.VFS}, plan.dryRun(), state.waitSeconds);
  step = {"Checking the folder to create structure in", ""};
  // The link root is opened once: the checks look at this folder and the removal empties
  // this same folder, whatever its name leads to meanwhile.
  std::unique_ptr<FolderTree> linkRoot =
      typedLinkRoot.empty() ? nullptr : platform.files.openFolderTree(s.WhereCreate);
  refuseUnsafeLinkRoot(platform, linkRoot.get(), typedLinkRoot, state);

  // Both tables are opened before anything is deleted, so that a build that could not read
  // or write them fails with the mirror still in place.
  const RunStep readStep{"Reading old VFS file (" + s.VFSold + ")", "Make sure this file exists!"};
  const RunStep writeStep{"Writing new VFS file (" + s.VFS + ")", kFixDat};
  step = readStep;
  auto oldTable = std::make_unique<OldTableReader>(platform.files.openInput(s.VFSold));
  step = writeStep;
  std::unique_ptr<OutputFile> output = plan.openTable(s.VFS);
  VfsWriter vfs(std::move(output), s);

  // 4 and 5. The old lines, copied as they are, before anything is removed: the output is a
  // new file until the commit, so an input that is also the output is read as it was, and
  // the new entries can be written in the old lines' encoding. A line of any length is
  // copied in pieces.
  std::string piece;
  for (;;) {
    step = readStep;
    if (!oldTable->nextPiece(piece)) break;
    step = writeStep;
    vfs.writeOld(piece, oldTable->lineEnded());
  }
  EntryEncoding encoding(platform, s.textIsUtf8 && oldTable->allUtf8());
  // Closed at once: a table that is also the output is not held open while it is replaced.
  oldTable.reset();
  refuseUnencodableValues(state, !sameTable, encoding);
  vfs.encodeEntriesIn(encoding);

  // 3. Every source's subfolders, after those of the sources before it, known before
  // anything is removed: a source that cannot be read stops the build with the mirror whole.
  step = {"Mapping out directory structure", ""};
  DirTable table;
  FolderScan scan(platform, table, &encoding);
  for (const MergeSource& source : s.sources) scan.DirMap(source.path, source.genre);
  for (const FolderScan::PassedOver& link : scan.passedOver()) plan.passOver(link.path, link.owner);
  nameConflicts(table, s.VirtualR, plan);
  Layout layout(table, platform.files.separators());

  // 2. What the new layout does not hold goes, unless the table is being added to in
  // place; the folders both layouts share stay where they are.
  step = {"Deleting old structure", "Manual deletion of structure"};
  if (!sameTable && linkRoot) reconcileLinkRoot(*linkRoot, layout, plan);

  // 6.
  step = {"Writing path to merge folder in new VFS file (" + s.VFS + ")", kFixDat};
  if (!sameTable) vfs.writeRootEntry();

  // 7. One level only: the link root's parent must exist.
  step = {"Creating the physical merge path if it doesn't exist",
          "Make sure the path is possible to create on your HD (drive must exist)"};
  plan.makeLinkRoot(linkRoot, s.WhereCreate);

  // 8. Each row's genre folder, its mirror folder, then its entry. Every folder is made from
  // the link root as opened, never through a link.
  const std::string entryAction = "Adding merged path entry to the new VFS file (" + s.VFS + ")";
  std::string mirrorFolder;
  for (size_t row = 1; row <= table.count(); ++row) {
    step.action = "Creating substructure (if exists)";
    step.fix = kFixLines;
    const std::string& physGenre = table.physGenre(row);
    Layout::Node& genre = layout.genreNode(physGenre);
    // A folder found by the walk, or made for an earlier row, is there already.
    if (genre.markPresent() && !physGenre.empty()) plan.makeFolder(linkRoot.get(), physGenre);

    step.action = "Creating merged structure";
    size_t mirror = static_cast<size_t>(genre.mirrorIndex(table.names(row)));
    if (genre.markMirrorPresent(mirror)) {
      mirrorFolder.assign(physGenre).append(table.names(row));
      plan.makeFolder(linkRoot.get(), mirrorFolder);
    }

    step.action = entryAction;
    step.fix = kFixDat;
    vfs.writeMergedEntry(table, row);
  }
  linkRoot.reset();

  // 9. Only a complete build replaces the table; putting it in place is still writing it.
  step = writeStep;
  plan.finish(vfs);
}

}  // namespace kelvane
