#include "build/build_run.h"

#include <optional>

#include "build/dir_map.h"
#include "build/link_removal.h"
#include "build/link_root_check.h"
#include "build/vfs_file.h"
#include "platform/platform.h"

namespace kelvane {
namespace {

const char* const kFixDat = "Make sure the path is properly written in dat";
const char* const kFixLines = "Make sure you entered the lines in proper format in the dat";

}  // namespace

void runBuild(Platform& platform, AppState& state) {
  Settings& s = state.settings;
  RunStep& step = state.runStep;
  const char separator = platform.separator();
  bool sameTable = s.VFSold == s.VFS;

  // 1. The link root always ends in the separator; later phases and the report see it so.
  // Everything that could make the build reach outside what the user gave it is refused
  // here, before anything is touched.
  step = {"Checking the folder to create structure in", ""};
  std::string typedLinkRoot = s.WhereCreate;
  if (s.WhereCreate.empty() || s.WhereCreate.back() != separator) s.WhereCreate += separator;
  refuseUnsafeValues(state, !sameTable, separator);
  // Builds that share the link root or the table would remove and write the same things.
  auto lock = platform.lockBuild({s.WhereCreate, s.VFS});
  // The link root is opened once: the checks look at this folder and the removal empties
  // this same folder, whatever its name leads to meanwhile.
  std::unique_ptr<FolderTree> linkRoot =
      typedLinkRoot.empty() ? nullptr : platform.openFolderTree(s.WhereCreate);
  refuseUnsafeLinkRoot(platform, linkRoot.get(), typedLinkRoot, state);

  // Both tables are opened before anything is deleted, so that a build that could not read
  // or write them fails with the mirror still in place.
  const RunStep readStep{"Reading old VFS file (" + s.VFSold + ")", "Make sure this file exists!"};
  const RunStep writeStep{"Writing new VFS file (" + s.VFS + ")", kFixDat};
  step = readStep;
  OldTableReader oldTable(platform.openInput(s.VFSold));
  step = writeStep;
  VfsWriter vfs(platform, s);

  // 2. The previous mirror goes, unless the table is being added to in place.
  step = {"Deleting old structure", "Manual deletion of structure"};
  if (!sameTable && linkRoot) removeOldStructure(*linkRoot);
  linkRoot.reset();

  // 3. Every source's subfolders, after those of the sources before it.
  step = {"Mapping out directory structure", ""};
  DirTable table;
  FolderScan scan(platform, table);
  for (const MergeSource& source : s.sources) scan.DirMap(source.path, source.genre);

  // 4 and 5. The old lines, copied as they are. The output is a new file until the commit,
  // so an input that is also the output is read as it was.
  std::string line;
  for (;;) {
    step = readStep;
    if (!oldTable.next(line)) break;
    step = writeStep;
    vfs.writeOldLine(line);
  }

  // 6.
  step = {"Writing path to merge folder in new VFS file (" + s.VFS + ")", kFixDat};
  if (!sameTable) vfs.writeRootEntry();

  // 7. One level only: the link root's parent must exist.
  step = {"Creating the physical merge path if it doesn't exist",
          "Make sure the path is possible to create on your HD (drive must exist)"};
  platform.createFolder(s.WhereCreate.substr(0, s.WhereCreate.size() - 1));

  // 8. Each row's genre folder, its mirror folder, then its entry.
  const std::string entryAction = "Adding merged path entry to the new VFS file (" + s.VFS + ")";
  std::string genreFolder, mirrorFolder;
  std::optional<std::string> knownGenreFolder;  // the last genre folder seen to exist
  for (size_t row = 1; row <= table.count(); ++row) {
    step.action = "Creating substructure (if exists)";
    step.fix = kFixLines;
    genreFolder.assign(s.WhereCreate).append(table.physGenre(row));
    // Rows of one source share their genre folder: once it is there, it stays there.
    if (knownGenreFolder != genreFolder) {
      platform.createFolder(genreFolder);
      knownGenreFolder = genreFolder;
    }

    step.action = "Creating merged structure";
    mirrorFolder.assign(genreFolder).append(table.names(row));
    platform.createFolder(mirrorFolder);

    step.action = entryAction;
    step.fix = kFixDat;
    vfs.writeMergedEntry(table, row);
  }

  // 9. Only a complete build replaces the table; putting it in place is still writing it.
  step = writeStep;
  vfs.commit();
}

}  // namespace kelvane
