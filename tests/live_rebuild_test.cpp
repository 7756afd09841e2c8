// While a rebuild runs, the server's link root keeps every folder that the new layout shares
// with the old one: a second process listing it all along never finds one missing.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/process.h"
#include "tests/support/scratch_tree.h"

namespace kelvane::testing {
namespace {

// The visible folders in path, or -1 when it cannot be listed.
int countFolders(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return -1;
  int count = 0;
  while (dirent* entry = ::readdir(dir))
    if (entry->d_name[0] != '.' && entry->d_type == DT_DIR) ++count;
  ::closedir(dir);
  return count;
}

TEST(LiveRebuild, AListerNeverFindsASharedFolderMissing) {
  ScratchTree t;
  const int folders = 500;
  for (int i = 0; i < folders; ++i) t.folder("src/s/f" + std::to_string(i));
  t.file("old.vfs", "old\r\n");
  t.file("prog/settings.dat",
         settingsText({t / "links", t / "out.vfs", t / "old.vfs", "/m", "u", "g", "755"},
                      {t / "src/s/|g"}));
  std::string exe = installKelvaneCopy(t / "prog");
  ASSERT_EQ(runProcess(exe, {"?settings.dat"}, t.path()).status, 0);
  t.file("links/g/f7/stale.txt");  // something for the rebuild to do
  ASSERT_EQ(countFolders(t / "links/g"), folders);

  std::string done = t / "done";
  pid_t lister = ::fork();
  if (lister == 0) {
    int rounds = 0;
    for (; !pathExists(done); ++rounds)
      if (countFolders(t / "links/g") != folders) ::_exit(1);
    ::_exit(rounds > 0 ? 0 : 2);
  }
  ProcessResult rebuild = runProcess(exe, {"?settings.dat"}, t.path());
  writeBytes(done, "");
  int status = -1;
  ASSERT_EQ(::waitpid(lister, &status, 0), lister);
  EXPECT_EQ(rebuild.status, 0) << rebuild.err;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a shared folder went missing";
  EXPECT_FALSE(t.has("links/g/f7/stale.txt"));
}

}  // namespace
}  // namespace kelvane::testing
