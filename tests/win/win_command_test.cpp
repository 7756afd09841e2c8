// The Windows platform's command lines, the processes it starts, and where the program is.

#include <gtest/gtest.h>
#include <windows.h>

#include "base/failure.h"
#include "tests/win/win_platform_fixture.h"

namespace kelvane {
namespace {

using namespace testing;

struct CommandLineCase {
  const char* name;
  std::wstring commandLine;
  std::string argumentText;
};

class ArgumentText : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(ArgumentText, IsTheTextAfterTheProgramName) {
  EXPECT_EQ(argumentTextOf(GetParam().commandLine), GetParam().argumentText);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, ArgumentText,
    ::testing::Values(
        CommandLineCase{"Nothing", L"kelvane.exe", ""},
        CommandLineCase{"QuotedProgramNothing", L"\"C:\\Program Files\\k\\kelvane.exe\"", ""},
        CommandLineCase{"BlanksInPathKept", L"C:\\k\\kelvane.exe ?C:\\my  settings.dat",
                        "?C:\\my  settings.dat"},
        CommandLineCase{"QuotedProgram", L"\"C:\\Program Files\\kelvane.exe\" ?x.dat", "?x.dat"},
        CommandLineCase{"LeadingBlanksAndTabsDropped", L"kelvane.exe \t  x.dat ", "x.dat "},
        CommandLineCase{"QuotesKept", L"kelvane.exe \"?my file.dat\"", "\"?my file.dat\""},
        CommandLineCase{"NoBlankAfterQuotedProgram", L"\"kelvane.exe\"?x.dat", "?x.dat"},
        CommandLineCase{"NonAsciiAsUtf8", L"kelvane.exe ?\u00e9t\u00e9.dat",
                        "?\xc3\xa9t\xc3\xa9.dat"}),
    [](const auto& info) { return std::string(info.param.name); });

struct StartCase {
  const char* name;
  std::string program;
  std::vector<std::string> args;
  std::string commandLine;
};

class StartCommand : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartCommand, IsFormedAsTheWindowAndTheReportNeedIt) {
  EXPECT_EQ(commandLineOf(GetParam().program, GetParam().args), GetParam().commandLine);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, StartCommand,
    ::testing::Values(
        StartCase{"ReportInNotepad",
                  WinProcesses().textEditor(),
                  {"C:\\my tools\\kelvaneerrors.txt"},
                  "notepad.exe C:\\my tools\\kelvaneerrors.txt"},
        StartCase{"BuildWithBlanksInSettingsPath",
                  "C:\\k\\kelvane.exe",
                  {"?C:\\my s.dat"},
                  "C:\\k\\kelvane.exe ?C:\\my s.dat"},
        StartCase{"ProgramFolderWithBlanksQuoted",
                  "C:\\Program Files\\k\\kelvane.exe",
                  {"?a.dat"},
                  "\"C:\\Program Files\\k\\kelvane.exe\" ?a.dat"},
        StartCase{"EmptySettingsPath", "C:\\k\\kelvane.exe", {"?"}, "C:\\k\\kelvane.exe ?"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WinPlatformTest, StartsAProgramWithoutWaiting) {
  std::string made = t / "made by child";
  platform.processes.startDetached("cmd.exe", {"/c", "mkdir", "\"" + made + "\""});
  for (int i = 0; i < 500 && !platform.files.folderExists(made); ++i) ::Sleep(20);
  EXPECT_TRUE(platform.files.folderExists(made));
  EXPECT_THROW(platform.processes.startDetached(t / "none.exe", {}), Failure);
}

TEST_F(WinPlatformTest, AWatchedProcessTellsWhenItEndsAndHow) {
  for (const auto& [exit, status] :
       std::vector<std::pair<std::string, int>>{{"exit 3", 3}, {"exit 0", 0}}) {
    auto ended = platform.processes.startWatched("cmd.exe", {"/c", exit});
    HANDLE end = reinterpret_cast<HANDLE>(ended->endHandle());
    ASSERT_EQ(::WaitForSingleObject(end, 60000), WAIT_OBJECT_0) << exit;
    EXPECT_EQ(ended->exitStatus(), status) << exit;
  }
  EXPECT_THROW(platform.processes.startWatched(t / "none.exe", {}), Failure);
}

TEST_F(WinPlatformTest, ProgramFolderHoldsTheExecutable) {
  std::string exe = platform.processes.executablePath();
  std::string folder = platform.processes.programFolder();
  EXPECT_EQ(exe.substr(0, folder.size() + 1), folder + "\\");
  EXPECT_EQ(exe.find('\\', folder.size() + 1), std::string::npos);
  EXPECT_TRUE(platform.files.fileExists(exe));
}

}  // namespace
}  // namespace kelvane
