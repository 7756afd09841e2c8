#include "report/error_report.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>

#include "base/failure.h"
#include "startup/run_program.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_platform.h"

namespace kelvane {
namespace {

using testing::TempFolder;
using testing::TestPlatform;

const char* const kQuestion =
    "An error has occured.  Please see kelvaneerrors.txt for more information\r\nView it now?";

// What creating a folder says where a file is in the way.
#ifdef _WIN32
const char* const kFileInTheWay = "something other than a folder is already there under that name";
#else
const char* const kFileInTheWay = "Not a directory";
#endif

class ErrorReport : public ::testing::Test {
 protected:
  ErrorReport() {
    platform.processes.programFolderOverride = dir / "program";
    testing::makeFolders(dir / "program");
  }
  std::string report() { return testing::readBytes(dir / "program/kelvaneerrors.txt"); }
  TempFolder dir;
  TestPlatform platform;
};

TEST_F(ErrorReport, AMissingSettingsFileGivesTheNineteenLines) {
  EXPECT_EQ(runProgram(platform, "?missing.dat"), 1);
  std::string folder = dir / "program";
  EXPECT_EQ(report(),
            "Error number      : 2\r\n"
            "Error description : Cannot open file \"" +
                (dir / "program/missing.dat") + "\": " + testing::systemErrorText(ENOENT) +
                "; a settings file holds seven values, one a line (the link root, the output VFS "
                "file, the input VFS file, the virtual root, the owner user, the owner group, the "
                "mode: a number such as 755), then the merge sources, one a line\r\n"
                "Error source      : open\r\n"
                "\r\n"
                "Program settings\r\n"
                "------------------\r\n"
                "Input VFS      : \r\n"
                "Output VFS     : \r\n"
                "Datfile        : " +
                (dir / "program/missing.dat") +
                "\r\n"
                "Working folder : " +
                folder +
                "\r\n"
                "\r\n"
                "------------------\r\n"
                "Extra error information\r\n"
                "------------------\r\n"
                "Creating structure in     : \r\n"
                "Action when error occured : Loading dat file\r\n"
                "\r\n"
                "\r\n"
                "Recommended FIX : Check to see if datfile exists (see above)\r\n");
  ASSERT_EQ(platform.messages.shown.size(), 1u);
  EXPECT_EQ(platform.messages.shown[0].title, "Error");
  EXPECT_EQ(platform.messages.shown[0].text, kQuestion);
  EXPECT_EQ(platform.messages.shown[0].icon, Icon::Error);
  EXPECT_TRUE(platform.messages.shown[0].question);
  EXPECT_TRUE(platform.processes.started.empty());  // answered No
}

TEST_F(ErrorReport, ATruncatedSettingsFileShowsTheValuesReadSoFar) {
  testing::writeBytes(dir / "t.dat", "/srv/links\r\n/srv/vfs\r\n/srv/old\r\n/m\r\n");
  // A window-mode start that fails ends in the report too; the window never opens.
  EXPECT_EQ(runProgram(platform, dir / "t.dat"), 1);
  std::string text = report();
  EXPECT_EQ(text.substr(0, text.find("\r\n")), "Error number      : 62");
  EXPECT_NE(text.find("\r\nInput VFS      : /srv/old\r\nOutput VFS     : /srv/vfs\r\n"
                      "Datfile        : " +
                      (dir / "t.dat") + "\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("\r\nCreating structure in     : /srv/links\r\n"
                      "Action when error occured : Loading dat file\r\n\r\n\r\n"
                      "Recommended FIX : Correct line 5 of the settings file \"" +
                      (dir / "t.dat") +
                      "\" as the error description says (open it in a text editor)\r\n"),
            std::string::npos)
      << "a file that is there gets the line to correct, not whether it exists";
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 19);

  // A value shown in a description is escaped once, where the report shows it.
  testing::writeBytes(dir / "t.dat", "/l\r\n/v\r\n/o\r\n/m\r\nu\r\ng\r\n75\u202e5\r\n");
  EXPECT_EQ(runProgram(platform, dir / "t.dat"), 1);
  text = report();
  EXPECT_NE(text.find("\"75\\u202e5\" is not a number"), std::string::npos) << text;
  EXPECT_NE(text.find("Correct line 7 of"), std::string::npos) << text;
}

TEST_F(ErrorReport, AnsweringYesOpensTheReportAndTheLastFailureWins) {
  testing::writeBytes(dir / "program/kelvaneerrors.txt",
                      "a previous report, much longer than the new one will be");
  platform.messages.answers = {true};
  EXPECT_EQ(runProgram(platform, "?gone.dat"), 1);
  ASSERT_EQ(platform.processes.started.size(), 1u);
  EXPECT_EQ(platform.processes.started[0].program, platform.processes.textEditor());
  EXPECT_EQ(platform.processes.started[0].args,
            std::vector<std::string>{dir / "program/kelvaneerrors.txt"});
  EXPECT_EQ(report().rfind("Error number      : 2\r\n", 0), 0u);
  EXPECT_EQ(report().find("previous"), std::string::npos);
}

TEST_F(ErrorReport, AReportThatCannotBeWrittenIsSaidInTheMessage) {
  platform.processes.programFolderOverride = dir / "no such folder";
  testing::writeBytes(dir / "state", "a file where the state folder should be");
  platform.stateFolder = dir / "state";
  EXPECT_EQ(runProgram(platform, "?gone.dat"), 1);
  ASSERT_EQ(platform.messages.shown.size(), 1u);
  const std::string& text = platform.messages.shown[0].text;
  EXPECT_FALSE(platform.messages.shown[0].question);
  EXPECT_NE(text.find("gone.dat"), std::string::npos);
  EXPECT_NE(text.find("Loading dat file"), std::string::npos);
  EXPECT_NE(text.find("The error report could not be written: Cannot create folder \"" +
                      (dir / "state") + "\": " + kFileInTheWay),
            std::string::npos)
      << text;
}

TEST_F(ErrorReport, AnUnwritableProgramFolderPutsTheReportInTheStateFolder) {
  platform.files.unwritableFolders = {dir / "program"};
  platform.stateFolder = dir / "home/.local/state";
  platform.messages.answers = {true};
  EXPECT_EQ(runProgram(platform, "?gone.dat"), 1);
  std::string path = dir / "home/.local/state/kelvane/kelvaneerrors.txt";
  std::string text = testing::readBytes(path);
  EXPECT_EQ(text.rfind("Error number      : 2\r\n", 0), 0u) << text;
  // The report still names the program's folder as its working folder.
  EXPECT_NE(text.find("\r\nWorking folder : " + (dir / "program") + "\r\n"), std::string::npos);
  EXPECT_FALSE(testing::pathExists(dir / "program/kelvaneerrors.txt"));
#ifndef _WIN32  // Windows folders take their permissions from the folder they are made in
  struct stat st {};
  ASSERT_EQ(::stat((dir / "home/.local/state/kelvane").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
#endif
  // The question names the report's full path; Yes opens that path.
  ASSERT_EQ(platform.messages.shown.size(), 1u);
  EXPECT_EQ(platform.messages.shown[0].text,
            "An error has occured.  Please see " + path + " for more information\r\nView it now?");
  ASSERT_EQ(platform.processes.started.size(), 1u);
  EXPECT_EQ(platform.processes.started[0].args, std::vector<std::string>{path});
}

// What stands at the report's name, or beside the executable, decides where the report goes;
// a link there is replaced, never written through. program/ holds the executable, so that
// as root (who owns program/ then) the link's case is also that of a folder holding no other
// program.
enum class Beside { FolderAtTheName, LinkAtTheName, AnotherProgram };

class ReportPlace : public ErrorReport, public ::testing::WithParamInterface<Beside> {};

TEST_P(ReportPlace, IsBesideTheExecutableOnlyWhereNothingStopsIt) {
  Beside c = GetParam();
  std::string beside = dir / "program/kelvaneerrors.txt", victim = dir / "victim";
  platform.processes.executableOverride = dir / "program/kelvane";
  platform.stateFolder = dir / "state";
  testing::writeBytes(victim, "not yours");
  if (c == Beside::FolderAtTheName) testing::makeFolders(beside);
#ifdef _WIN32
  if (c != Beside::FolderAtTheName) GTEST_SKIP() << "links and root's folders";
#else
  if (c == Beside::AnotherProgram && ::geteuid() != 0) GTEST_SKIP() << "a folder of root's own";
  for (std::string name : {"kelvane", "other"}) {
    testing::writeBytes(dir / ("program/" + name), "#!/bin/sh\n");
    bool program = name == "kelvane" || c == Beside::AnotherProgram;
    ::chmod((dir / ("program/" + name)).c_str(), program ? 0755 : 0644);
  }
  if (c == Beside::LinkAtTheName) ::symlink(victim.c_str(), beside.c_str());
#endif
  EXPECT_EQ(runProgram(platform, "?gone.dat"), 1);
  bool isBeside = c == Beside::LinkAtTheName;
  std::string path = isBeside ? beside : dir / "state/kelvane/kelvaneerrors.txt";
  EXPECT_EQ(testing::readBytes(path).rfind("Error number      : 2\r\n", 0), 0u) << path;
  EXPECT_EQ(testing::readBytes(victim), "not yours");
  ASSERT_EQ(platform.messages.shown.size(), 1u);
  EXPECT_EQ(platform.messages.shown[0].text, viewQuestion(path, isBeside));
}

INSTANTIATE_TEST_SUITE_P(Cases, ReportPlace,
                         ::testing::Values(Beside::FolderAtTheName, Beside::LinkAtTheName,
                                           Beside::AnotherProgram));

TEST(ReportText, ShowsLineBreaksInValuesAndKeepsItsNineteenLines) {
  AppState state;
  state.settings.VFSold = "old\r\n";
  state.settings.VFS = "out\nput";
  state.settings.WhereCreate = "\rlinks";
  state.datPath = "a\r\nb.dat";
  Failure failure(2, "Cannot open \"x\r\ny\"", "open\n");
  failure.takeStep({"act\n", "fix\r\n"});
  std::string text = formatErrorReport(failure, state, "/prog\nram");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 19);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 19);
  for (const char* line :
       {"Error description : Cannot open \"x\\r\\ny\"\r\n", "Error source      : open\\n\r\n",
        "Input VFS      : old\\r\\n\r\n", "Output VFS     : out\\nput\r\n",
        "Datfile        : a\\r\\nb.dat\r\n", "Working folder : /prog\\nram\r\n",
        "Creating structure in     : \\rlinks\r\n", "Action when error occured : act\\n\r\n",
        "Recommended FIX : fix\\r\\n\r\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}

TEST(ReportText, OnStandardErrorEachReportLineIsOneLineWhateverEndsTheLast) {
  const std::string head =
      "kelvane: the dry run failed; nothing was changed and no report was written. The "
      "report would say:";
  for (auto [report, said] :
       std::initializer_list<std::pair<std::string, std::string>>{{"", ""},
                                                                  {"a\r\n", "\na"},
                                                                  {"a\r\nb", "\na\nb"},
                                                                  {"a\r\n\r\nb\r\n", "\na\n\nb"},
                                                                  {"a\rb\nc", "\na\rb\nc"},
                                                                  {"a\r", "\na\r"}})
    EXPECT_EQ(dryRunFailureText(report), head + said) << report;
}

TEST_F(ErrorReport, TheStateFolderIsKelvaneInTheUsersStateFolder) {
  platform.stateFolder = testing::native("/home/ftp/.local/state");
  EXPECT_EQ(stateReportFolder(platform), testing::native("/home/ftp/.local/state/kelvane"));
  EXPECT_EQ(viewQuestion("/program/kelvaneerrors.txt", true), kQuestion);
}

TEST_F(ErrorReport, AViewerThatCannotStartDoesNotHideTheExitStatus) {
  platform.messages.answers = {true};
  platform.faults.failOn(testing::Op::Start);
  EXPECT_EQ(runProgram(platform, "?gone.dat"), 1);
  EXPECT_FALSE(report().empty());
}

// Random bytes for a settings file: the report names the line and what belongs there, and
// shows every control byte escaped, so that its nineteen lines stay nineteen plain lines.
TEST_F(ErrorReport, ASettingsFileOfRandomBytesIsReportedByLineWithItsBytesEscaped) {
  std::mt19937 random(23);
  for (int file = 0; file < 20; ++file) {
    std::string bytes;
    for (int i = 0; i < 300; ++i)
      bytes += static_cast<char>(std::uniform_int_distribution<int>(0, 255)(random));
    testing::writeBytes(dir / "program/random.dat", bytes);
    EXPECT_EQ(runProgram(platform, "?random.dat"), 1);
    std::string text = report();
    SCOPED_TRACE(text);
    EXPECT_NE(text.find("in the settings file \"" + (dir / "program/random.dat") + "\": line "),
              std::string::npos);
    size_t lines = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(text[i]);
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
        ++lines;
        ++i;
      } else {
        ASSERT_TRUE(c >= 0x20 && c != 0x7f) << "a raw control byte at " << i;
      }
    }
    EXPECT_EQ(lines, 19u);
  }
}

}  // namespace
}  // namespace kelvane
