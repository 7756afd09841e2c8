// A report put in place as a new file, and the folders it has no place in.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "platform/failure.h"
#include "tests/support/fake_platform.h"
#include "tests/support/temp_folder.h"

namespace kelvane {
namespace {

using testing::TempFolder;
using Names = std::vector<std::string>;

// Every name in folder, hidden ones (as temporary files are) included.
Names namesIn(const std::string& folder) {
  Names names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool isPlainFile(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

struct NameCase {
  const char* name;
  std::function<void(TempFolder&)> plant;  // what stands at dir/r/report before the write
  bool written;                            // false: the write fails and changes nothing
};

class NewFile : public ::testing::TestWithParam<NameCase> {};

TEST_P(NewFile, ReplacesWhatStandsAtTheNameWithoutWritingThroughIt) {
  TempFolder dir;
  testing::makeFolders(dir / "r");
  testing::writeBytes(dir / "victim", "not yours");
  GetParam().plant(dir);
  PosixPlatform platform;
  if (GetParam().written) {
    platform.writeNewFile(dir / "r/report", "new");
    EXPECT_TRUE(isPlainFile(dir / "r/report"));
    EXPECT_EQ(testing::readBytes(dir / "r/report"), "new");
  } else {
    try {
      platform.writeNewFile(dir / "r/report", "new");
      ADD_FAILURE() << "wrote over a folder";
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.number(), EISDIR);
      EXPECT_NE(failure.description().find(dir / "r/report"), std::string::npos);
    }
    EXPECT_TRUE(testing::isFolder(dir / "r/report"));
  }
  EXPECT_EQ(testing::readBytes(dir / "victim"), "not yours");
  EXPECT_FALSE(testing::pathExists(dir / "nowhere"));
  EXPECT_EQ(namesIn(dir / "r"), Names{"report"});  // no temporary file left
}

INSTANTIATE_TEST_SUITE_P(
    AtTheName, NewFile,
    ::testing::Values(
        NameCase{"Nothing", [](TempFolder&) {}, true},
        NameCase{"AnOldReport", [](TempFolder& d) { testing::writeBytes(d / "r/report", "old"); },
                 true},
        NameCase{"AHardLink",
                 [](TempFolder& d) { ::link((d / "victim").c_str(), (d / "r/report").c_str()); },
                 true},
        NameCase{"ALinkToAFile",
                 [](TempFolder& d) { ::symlink((d / "victim").c_str(), (d / "r/report").c_str()); },
                 true},
        NameCase{
            "ADanglingLink",
            [](TempFolder& d) { ::symlink((d / "nowhere").c_str(), (d / "r/report").c_str()); },
            true},
        NameCase{"AFolder", [](TempFolder& d) { testing::makeFolders(d / "r/report"); }, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NewFile, PassesOverAnythingAtItsOwnTemporaryNames) {
  TempFolder dir;
  testing::makeFolders(dir / "r");
  std::string first = ".kelvane-" + std::to_string(::getpid()) + "-0.new";
  ASSERT_EQ(::symlink((dir / "planted").c_str(), (dir / "r/" + first).c_str()), 0);
  PosixPlatform().writeNewFile(dir / "r/report", "new");
  EXPECT_EQ(testing::readBytes(dir / "r/report"), "new");
  EXPECT_FALSE(testing::pathExists(dir / "planted"));
  EXPECT_EQ(namesIn(dir / "r"), (Names{first, "report"}));  // not ours to remove
}

TEST(NewFile, AFailedWriteLeavesTheOldFileAndNoTemporaryFile) {
  TempFolder dir;
  testing::writeBytes(dir / "report", "old");
  // A file size limit makes the write itself fail (EFBIG) instead of the process.
  struct rlimit old;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto handler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 4;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  EXPECT_THROW(PosixPlatform().writeNewFile(dir / "report", "longer than four"), Failure);
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, handler);
  EXPECT_EQ(testing::readBytes(dir / "report"), "old");
  EXPECT_EQ(namesIn(dir.path()), Names{"report"});
}

struct FolderCase {
  const char* name;
  std::vector<std::string> executables;  // made in the folder, mode 0755
  bool rootOwned;
  bool system;
};

class ProgramFolder : public ::testing::TestWithParam<FolderCase> {};

TEST_P(ProgramFolder, IsASystemOneWhenRootOwnsItAndItHoldsAnotherProgram) {
  const FolderCase& c = GetParam();
  if (::geteuid() != 0) {
    GTEST_SKIP() << "only root can give a folder to root and to another";
  }
  TempFolder dir;
  std::string bin = dir / "bin";
  testing::makeFolders(bin + "/subfolder");
  testing::writeBytes(bin + "/notes", "not a program");
  testing::FakePlatform platform;
  platform.executableOverride = bin + "/kelvane";
  for (const std::string& name : c.executables) {
    testing::writeBytes(bin + "/" + name, "#!/bin/sh\n");
    ASSERT_EQ(::chmod((bin + "/" + name).c_str(), 0755), 0);
  }
  ::symlink((bin + "/kelvane").c_str(), (bin + "/kelvane-link").c_str());
  if (!c.rootOwned) {
    ASSERT_EQ(::chown(bin.c_str(), 65534, 65534), 0);
  }
  EXPECT_EQ(platform.isSystemProgramFolder(bin), c.system);
}

INSTANTIATE_TEST_SUITE_P(
    Holding, ProgramFolder,
    ::testing::Values(
        FolderCase{"OnlyTheExecutable", {"kelvane"}, true, false},
        FolderCase{"AnExecutableReport", {"kelvane", "kelvaneerrors.txt"}, true, false},
        FolderCase{"AnotherProgram", {"kelvane", "true"}, true, true},
        FolderCase{"AnotherProgramInAnotherAccountsFolder", {"kelvane", "true"}, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvane
