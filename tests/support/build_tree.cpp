#include "tests/support/build_tree.h"

#include <filesystem>

namespace kelvane::testing {

BuildTree::BuildTree(bool sameTables)
    : linkRoot(dir / "links"),
      output(dir / "out/vfs.txt"),
      oldTable(sameTables ? output : dir / "vfs-old.txt"),
      outside(dir / "outside") {
  makeFolders(dir / "links/linux/debian/extra");
  makeFolders(dir / "links/music/jazz");
  makeFolders(dir / "links/music/gone/empty");  // a stale folder where a mirror is missing
  writeBytes(dir / "links/top.txt", "t");
  writeBytes(dir / "links/linux/debian/notes.txt", "n");
  writeBytes(dir / "links/linux/debian/extra/deep.txt", "d");
  for (const char* folder :
       {"src/iso/debian", "src/iso/gentoo", "src/more/arch", "src/mp3/jazz", "src/mp3/rock"})
    makeFolders(dir / folder);
  writeBytes(dir / "src/iso/readme.txt", "r");
  makeFolders(dir / "outside/keep");
  writeBytes(dir / "outside/keep/file.txt", "precious");
  makeFolders(dir / "out");
  originalOutput = "/srv/pub|/pub|anon|users|755|r|0|0|0|0|0|0|0|0\r\n";
  writeBytes(output, originalOutput);
  if (!sameTables) writeBytes(oldTable, "/srv/old|/old|anon|users|755|r|0|0|0|0|0|0|0|0\r\n");
  writeBytes(settingsPath(), linkRoot + "\r\n" + output + "\r\n" + oldTable +
                                 "\r\n/merged\r\nanon\r\nusers\r\n755\r\n" +
                                 (dir / "src/iso/|linux\r\n") + (dir / "src/mp3/|music\r\n") +
                                 (dir / "src/more/|linux\r\n"));
}

std::string BuildTree::outputBytes() const { return readBytes(output); }

std::map<std::string, std::string> BuildTree::snapshot(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(fsPath(folder))) {
    std::string path = pathBytes(entry.path());
    if (isBuildLock(path)) continue;
    files[path] = entry.is_regular_file() && !entry.is_symlink() ? readBytes(path) : "";
  }
  return files;
}

}  // namespace kelvane::testing
