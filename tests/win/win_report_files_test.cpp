// The report put in place as a new file, and the system program folders it has no place in,
// through the Windows platform with real files.

#include <gtest/gtest.h>
#include <windows.h>

#include <optional>

#include "base/failure.h"
#include "tests/support/test_platform.h"
#include "tests/win/win_scratch.h"
#include "win/win_support.h"

namespace kelvane {
namespace {

using testing::WinScratch;
using Names = std::vector<std::string>;

TEST(WinNewFile, ReplacesAFileLeavesAFolderAndNoTemporaryFile) {
  WinScratch t;
  testing::SystemPlatform platform;
  EXPECT_THROW(platform.files.writeNewFile(t / "r\\report.txt", "first"), Failure);  // no r\ yet
  t.folder("r");
  platform.files.writeNewFile(t / "r\\report.txt", "new");
  EXPECT_EQ(t.read("r\\report.txt"), "new");
  t.file("r\\report.txt", "a much longer old report");
  platform.files.writeNewFile(t / "r\\report.txt", "new");
  EXPECT_EQ(t.read("r\\report.txt"), "new");
  t.folder("r\\taken.txt");
  EXPECT_THROW(platform.files.writeNewFile(t / "r\\taken.txt", "new"), Failure);
  EXPECT_EQ(t.tree("r"), (Names{"report.txt", "taken.txt\\"}));
}

// Sets (or unsets) a variable of this process for one test.
class ScopedVariable {
 public:
  ScopedVariable(const std::string& name, const std::string& value) : name_(win::wide(name)) {
    wchar_t old[MAX_PATH];
    DWORD n = ::GetEnvironmentVariableW(name_.c_str(), old, MAX_PATH);
    if (n > 0 && n < MAX_PATH) old_ = std::wstring(old, n);
    ::SetEnvironmentVariableW(name_.c_str(), win::wide(value).c_str());
  }
  ~ScopedVariable() { ::SetEnvironmentVariableW(name_.c_str(), old_ ? old_->c_str() : nullptr); }

 private:
  std::wstring name_;
  std::optional<std::wstring> old_;
};

struct FolderCase {
  const char* name;
  const char* systemVariable;  // names scratch\system; nullptr: it names no folder here
  Names files;                 // made in scratch\system\app
  bool system;
};

class WinProgramFolder : public ::testing::TestWithParam<FolderCase> {};

TEST_P(WinProgramFolder, IsASystemOneBelowTheSystemsFoldersHoldingAnotherProgram) {
  const FolderCase& c = GetParam();
  WinScratch t;
  t.folder("system\\app\\sub.exe");
  for (const std::string& name : c.files) t.file("system\\app\\" + name, "MZ");
  ScopedVariable files("ProgramFiles", t / "elsewhere");
  ScopedVariable files86("ProgramFiles(x86)", t / "elsewhere");
  std::optional<ScopedVariable> chosen;
  if (c.systemVariable) chosen.emplace(c.systemVariable, t / "system\\");
  EXPECT_EQ(testing::systemFiles().isSystemProgramFolder(t / "system\\app",
                                                         t / "system\\app\\kelvane.exe"),
            c.system);
}

INSTANTIATE_TEST_SUITE_P(
    Holding, WinProgramFolder,
    ::testing::Values(
        FolderCase{
            "OnlyTheExecutable", "ProgramFiles", {"KELVANE.EXE", "kelvaneerrors.txt"}, false},
        FolderCase{"AnotherProgram", "ProgramFiles", {"kelvane.exe", "Other.Exe"}, true},
        FolderCase{"AnotherProgramInX86", "ProgramFiles(x86)", {"kelvane.exe", "other.exe"}, true},
        FolderCase{"AnotherProgramElsewhere", nullptr, {"kelvane.exe", "other.exe"}, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvane
