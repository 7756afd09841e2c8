// The user's own folders: where an installed program keeps its error report.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "base/failure.h"
#include "posix/console_messages.h"
#include "posix/posix_file_system.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_platform.h"

namespace kelvane {
namespace {

using testing::TempFolder;

// Sets (or, with nullopt, unsets) a variable for one test and puts it back afterwards.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      ::setenv(name, value->c_str(), 1);
    else
      ::unsetenv(name);
  }
  ~ScopedVariable() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

mode_t modeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// The platform as root or as another account, whoever runs the tests; it only names folders.
ConsoleMessages console;
class Account : public PosixFiles {
 public:
  explicit Account(bool root) : PosixFiles(console), root_(root) {}

 protected:
  bool runsAsRoot() const override { return root_; }

 private:
  bool root_;
};

struct StateCase {
  const char* name;
  bool root;
  std::optional<std::string> stateHome;
  std::string expected;
};

class UserStateFolder : public ::testing::TestWithParam<StateCase> {};

TEST_P(UserStateFolder, IsXdgStateHomeWhenAbsoluteElseBelowTheHomeOrForRootVarLib) {
  ScopedVariable home("HOME", "/home/ftp/");
  ScopedVariable state("XDG_STATE_HOME", GetParam().stateHome);
  EXPECT_EQ(Account(GetParam().root).userStateFolder(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Accounts, UserStateFolder,
    ::testing::Values(
        StateCase{"UserWithStateHome", false, "/var/tmp/some state", "/var/tmp/some state"},
        StateCase{"RootWithStateHome", true, "/var/tmp/some state", "/var/tmp/some state"},
        StateCase{"UserWithout", false, std::nullopt, "/home/ftp/.local/state"},
        StateCase{"UserWithAnEmptyOne", false, "", "/home/ftp/.local/state"},
        StateCase{"UserWithARelativeOne", false, "state", "/home/ftp/.local/state"},
        StateCase{"RootWithout", true, std::nullopt, "/var/lib"},
        StateCase{"RootWithARelativeOne", true, "state", "/var/lib"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UserStateFolderOfAUser, TakesTheHomeFromTheUserDatabaseWithoutHome) {
  ScopedVariable state("XDG_STATE_HOME", std::nullopt);
  ScopedVariable home("HOME", std::nullopt);
  std::string folder = Account(false).userStateFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder[0], '/');
  EXPECT_EQ(folder.substr(folder.size() - 13), "/.local/state") << folder;
}

TEST(CreatePrivateFolders, CreatesEveryMissingLevelOpenToItsOwnerOnly) {
  TempFolder dir;
  testing::SystemPlatform platform;
  platform.files.createPrivateFolders(dir / "home/.local/state/kelvane");
  EXPECT_TRUE(testing::isFolder(dir / "home/.local/state/kelvane"));
  EXPECT_EQ(modeOf(dir / "home"), 0700u);
  EXPECT_EQ(modeOf(dir / "home/.local/state/kelvane"), 0700u);
}

TEST(CreatePrivateFolders, UsesFoldersAndLinksToFoldersAlreadyThere) {
  TempFolder dir;
  testing::makeFolders(dir / "real/state");
  ASSERT_EQ(::chmod((dir / "real").c_str(), 0755), 0);
  ASSERT_EQ(::symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
  testing::SystemPlatform platform;
  platform.files.createPrivateFolders(dir / "link/state/kelvane/");
  EXPECT_TRUE(testing::isFolder(dir / "real/state/kelvane"));
  EXPECT_EQ(modeOf(dir / "real"), 0755u);  // left as it was
}

TEST(CreatePrivateFolders, FailsOnAFileInTheWayAndOnARelativePath) {
  TempFolder dir;
  testing::writeBytes(dir / "file", "x");
  testing::SystemPlatform platform;
  try {
    platform.files.createPrivateFolders(dir / "file/kelvane");
    ADD_FAILURE() << "no failure";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), ENOTDIR);
    EXPECT_NE(failure.description().find(dir / "file"), std::string::npos);
    EXPECT_EQ(failure.source(), "mkdir");
  }
  EXPECT_THROW(platform.files.createPrivateFolders("relative/kelvane"), Failure);
}

TEST(FolderWritable, IsTrueForAFolderThatCanBeWrittenAndFalseForNone) {
  TempFolder dir;
  testing::writeBytes(dir / "file", "x");
  testing::SystemPlatform platform;
  EXPECT_TRUE(platform.files.folderWritable(dir.path()));
  EXPECT_FALSE(platform.files.folderWritable(dir / "missing"));
  EXPECT_FALSE(platform.files.folderWritable(dir / "file"));  // not a folder: cannot be entered
  if (::geteuid() != 0) {
    ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
    EXPECT_FALSE(platform.files.folderWritable(dir.path()));
    ::chmod(dir.path().c_str(), 0755);
  }
}

}  // namespace
}  // namespace kelvane
