// A report put in place as a new file, and the folders it has no place in.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "base/failure.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_platform.h"

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

enum class Planted { Nothing, HardLink, Link, DanglingLink, Folder };

class NewFile : public ::testing::TestWithParam<Planted> {};

TEST_P(NewFile, ReplacesWhatStandsAtTheNameWithoutWritingThroughIt) {
  TempFolder dir;
  std::string report = dir / "r/report", victim = dir / "victim";
  testing::makeFolders(dir / "r");
  testing::writeBytes(victim, "not yours");
  Planted planted = GetParam();
  if (planted == Planted::HardLink) ::link(victim.c_str(), report.c_str());
  if (planted == Planted::Link) ::symlink(victim.c_str(), report.c_str());
  if (planted == Planted::DanglingLink) ::symlink((dir / "nowhere").c_str(), report.c_str());
  if (planted == Planted::Folder) testing::makeFolders(report);
  testing::SystemPlatform platform;
  if (planted == Planted::Folder) {
    EXPECT_THROW(platform.files.writeNewFile(report, "new"), Failure);
    EXPECT_TRUE(testing::isFolder(report));
  } else {
    platform.files.writeNewFile(report, "new");
    struct stat st;
    EXPECT_TRUE(::lstat(report.c_str(), &st) == 0 && S_ISREG(st.st_mode));
    EXPECT_EQ(testing::readBytes(report), "new");
  }
  EXPECT_EQ(testing::readBytes(victim), "not yours");
  EXPECT_FALSE(testing::pathExists(dir / "nowhere"));
  EXPECT_EQ(namesIn(dir / "r"), Names{"report"});  // no temporary file left
}

INSTANTIATE_TEST_SUITE_P(AtTheName, NewFile,
                         ::testing::Values(Planted::Nothing, Planted::HardLink, Planted::Link,
                                           Planted::DanglingLink, Planted::Folder));

TEST(NewFile, PassesOverAnythingAtItsOwnTemporaryNames) {
  TempFolder dir;
  std::string first = ".kelvane-" + std::to_string(::getpid()) + "-0.new";
  ASSERT_EQ(::symlink((dir / "planted").c_str(), (dir / first).c_str()), 0);
  testing::systemFiles().writeNewFile(dir / "report", "new");
  EXPECT_EQ(testing::readBytes(dir / "report"), "new");
  EXPECT_FALSE(testing::pathExists(dir / "planted"));
  EXPECT_EQ(namesIn(dir.path()), (Names{first, "report"}));  // not ours to remove
}

struct FolderCase {
  std::vector<std::string> executables;  // beside bin/notes, bin/subfolder/ and a link to kelvane
  bool rootOwned;
  bool system;
};

class ProgramFolder : public ::testing::TestWithParam<FolderCase> {};

TEST_P(ProgramFolder, IsASystemOneWhenRootOwnsItAndItHoldsAnotherProgram) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "only root can give a folder to root and to another";
  }
  TempFolder dir;
  std::string bin = dir / "bin";
  testing::makeFolders(bin + "/subfolder");
  testing::writeBytes(bin + "/notes", "not a program");
  for (const std::string& name : GetParam().executables) {
    testing::writeBytes(bin + "/" + name, "#!/bin/sh\n");
    ::chmod((bin + "/" + name).c_str(), 0755);
  }
  ::symlink((bin + "/kelvane").c_str(), (bin + "/kelvane-link").c_str());
  if (!GetParam().rootOwned) ::chown(bin.c_str(), 65534, 65534);
  EXPECT_EQ(testing::systemFiles().isSystemProgramFolder(bin, bin + "/kelvane"), GetParam().system);
}

INSTANTIATE_TEST_SUITE_P(Holding, ProgramFolder,
                         ::testing::Values(FolderCase{{"kelvane"}, true, false},
                                           FolderCase{
                                               {"kelvane", "kelvaneerrors.txt"}, true, false},
                                           FolderCase{{"kelvane", "true"}, true, true},
                                           FolderCase{{"kelvane", "true"}, false, false}));

}  // namespace
}  // namespace kelvane
