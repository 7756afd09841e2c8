// The executable run as a process from a copy in its own program folder, with no display:
// nothing may wait for a person, and every start-up failure ends in the report.
#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/temp_folder.h"

namespace kelvane::testing {
namespace {

class StartupProcess : public ::testing::Test {
 protected:
  StartupProcess() : exe(installKelvaneCopy(dir / "program")) { makeFolders(dir / "work"); }
  ProcessResult run(const std::vector<std::string>& args) {
    return runProcess(exe, args, dir / "work");
  }
  std::string report() { return readBytes(dir / "program/kelvaneerrors.txt"); }
  TempFolder dir;
  std::string exe;
};

const char* const kSettings =
    "/srv/links/\r\n/srv/vfs\r\n/srv/vfs.old\r\n/merged\r\nanon\r\nusers\r\n755\r\n";

TEST_F(StartupProcess, WindowModesWithoutADisplaySaySoAndExitTwo) {
  ProcessResult empty = run({});
  EXPECT_EQ(empty.status, 2);
  EXPECT_NE(empty.err.find("no display"), std::string::npos) << empty.err;

  writeBytes(dir / "work/s.dat", kSettings);
  ProcessResult loaded = run({"s.dat"});
  EXPECT_EQ(loaded.status, 2);
  EXPECT_FALSE(pathExists(dir / "program/kelvaneerrors.txt"));
}

TEST_F(StartupProcess, AMissingSettingsFileWritesTheReportBesideTheExecutable) {
  ProcessResult result = run({"?missing.dat"});
  EXPECT_EQ(result.status, 1);
  std::string text = report();
  std::string folder = dir / "program";
  EXPECT_EQ(text.rfind("Error number      : 2\r\n", 0), 0u) << text;
  EXPECT_NE(text.find("\r\nDatfile        : " + folder +
                      "/missing.dat\r\nWorking folder : " + folder + "\r\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\r\nAction when error occured : Loading dat file\r\n"), std::string::npos);
  // Without a display the question goes to standard error and takes No.
  EXPECT_NE(result.err.find("Error: An error has occured.  Please see kelvaneerrors.txt for "
                            "more information\r\nView it now?"),
            std::string::npos)
      << result.err;
}

TEST_F(StartupProcess, ArgumentsAreJoinedWithBlanksIntoOnePath) {
  writeBytes(dir / "work/my settings.dat", "/srv/l\r\n/srv/v\r\n/srv/o\r\n/m\r\nu\r\ng\r\nx\r\n");
  // Not quoted by the shell: two arguments that together name the file.
  ProcessResult result = run({"?my", "settings.dat"});
  EXPECT_EQ(result.status, 1);
  std::string text = report();
  EXPECT_NE(text.find("Datfile        : my settings.dat\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Error number      : 13\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Input VFS      : /srv/o\r\n"), std::string::npos) << text;
}

TEST_F(StartupProcess, ATruncatedFileInWindowModeEndsInTheReportNotAWindow) {
  writeBytes(dir / "work/t.dat", "/srv/links/\r\n/srv/vfs\r\n");
  ProcessResult result = run({"t.dat"});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(report().find("Error number      : 62\r\n"), std::string::npos);
}

TEST_F(StartupProcess, OpeningAFileWhoseNameHoldsAQuestionMarkNeverBuilds) {
  // Settings whose build would create links/ and vfs.txt in the work folder.
  writeBytes(dir / "work/what?.dat",
             "links/\r\nvfs.txt\r\nold.txt\r\n/m\r\nanon\r\nusers\r\n755\r\n");
  writeBytes(dir / "work/old.txt", "");
  ProcessResult result = run({"--open", dir / "work/what?.dat"});
  EXPECT_EQ(result.status, 2) << result.err;  // the window, which has no display here
  EXPECT_NE(result.err.find("no display"), std::string::npos) << result.err;
  EXPECT_FALSE(pathExists(dir / "work/links"));
  EXPECT_FALSE(pathExists(dir / "work/vfs.txt"));
  EXPECT_FALSE(pathExists(dir / "program/kelvaneerrors.txt"));
}

// A whole number of seconds up to a day is a wait; anything else stops before any build.
TEST_F(StartupProcess, WaitTakesWholeSecondsUpToADay) {
  struct Row {
    const char* seconds;
    int status;  // 1: taken, the build then fails on the missing settings file
  };
  for (Row row : {Row{"86400", 1}, Row{"0", 1}, Row{"86401", 2}, Row{"1.5", 2}, Row{"-1", 2},
                  Row{"x", 2}, Row{"", 2}, Row{"100000", 2}}) {
    ProcessResult result = run({"--wait", row.seconds, "?missing.dat"});
    EXPECT_EQ(result.status, row.status) << row.seconds << ": " << result.err;
    EXPECT_EQ(result.err.find("--wait takes a number of seconds") != std::string::npos,
              row.status == 2)
        << row.seconds << ": " << result.err;
  }
}

// A settle period is seconds with at most three decimals, from a tenth to an hour; anything
// else stops before the settings are read.
TEST_F(StartupProcess, SettleTakesATenthToAnHour) {
  struct Row {
    const char* seconds;
    int status;  // 1: taken, following then cannot start on the missing settings file
  };
  for (Row row : {Row{"0.1", 1}, Row{"3600", 1}, Row{"2.125", 1}, Row{"0.09", 2}, Row{"0", 2},
                  Row{"3601", 2}, Row{"3600.001", 2}, Row{"-1", 2}, Row{"2s", 2}, Row{"1e3", 2},
                  Row{"2.", 2}, Row{".5", 2}, Row{"0.1234", 2}, Row{"", 2}}) {
    ProcessResult result = run({"--follow", "--settle", row.seconds, "?missing.dat"});
    EXPECT_EQ(result.status, row.status) << row.seconds << ": " << result.err;
    EXPECT_EQ(result.err.find("--settle takes a number of seconds") != std::string::npos,
              row.status == 2)
        << row.seconds << ": " << result.err;
  }
}

TEST_F(StartupProcess, HelpAndVersion) {
  ProcessResult help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("kelvane '?SETTINGS.dat'"), std::string::npos);
  EXPECT_NE(help.out.find("kelvane --open FILE"), std::string::npos);
  ProcessResult version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "kelvane 1.1\n");
}

}  // namespace
}  // namespace kelvane::testing
