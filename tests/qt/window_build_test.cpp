// The Build button: the question, the start of the build, the watch on it, and what the
// window says when it ends (only a build that ended with status 0 is "complete").
#include <sys/stat.h>

#include <QSocketNotifier>
#include <algorithm>
#include <filesystem>

#include "report/error_report.h"
#include "tests/qt/window_fixture.h"
#include "tests/support/process.h"

namespace kelvane::testing {
namespace {

constexpr int kChildTimeoutMs = 30000;
const char* const kComplete = "yay: Building complete";
// The question names the file the build reads, or says that there is none yet.
const char* const kNoFileQuestion =
    "Hmm: Save settings first?\r\nThe build needs a settings file: Yes asks where to save one.";
std::string questionFor(const std::string& path) {
  return "Hmm: Save settings first?\r\nThe build reads \"" + path + "\".";
}

class WindowBuildTest : public WindowTest {
 protected:
  void SetUp() override {
    openWindow();
    box("txtCHMOD")->setText("755");
  }

  // Puts a copy of the real program in the test's folder, so that its program folder (and
  // the error report beside it) is the test's own, and lets the fake really start it.
  std::string installProgram() {
    std::string exe = installKelvaneCopy(folder.path());
    fake.processes.executableOverride = exe;
    fake.processes.runStarted = true;
    return exe;
  }
  // Waits until the window has seen every build it watches end.
  bool endsSeen() {
    return QTest::qWaitFor(
        [&] {
          for (auto* watch : view->findChildren<QSocketNotifier*>())
            if (watch->isEnabled()) return false;
          return true;
        },
        kChildTimeoutMs);
  }
  bool said(const std::string& line) {
    auto shown = messageLines();
    return std::find(shown.begin(), shown.end(), line) != shown.end();
  }
};

TEST_F(WindowBuildTest, WithNoSettingsFileNothingIsStarted) {
  fake.messages.answers = {false};
  click("cmdBuild");

  ASSERT_FALSE(fake.messages.shown.empty());
  EXPECT_EQ(fake.messages.shown[0].title, "Hmm");
  EXPECT_EQ(messageLines()[0], kNoFileQuestion);
  EXPECT_EQ(fake.messages.shown[0].icon, Icon::Question);
  EXPECT_TRUE(fake.messages.shown[0].question);
  EXPECT_TRUE(fake.messages.saveDialogs.empty());
  EXPECT_TRUE(fake.processes.started.empty());
  ASSERT_EQ(fake.messages.shown.size(), 2u);
  EXPECT_EQ(fake.messages.shown[1].title, "Notice");
  EXPECT_NE(fake.messages.shown[1].text.find("No build started"), std::string::npos);
  EXPECT_TRUE(endsSeen());
  EXPECT_FALSE(said(kComplete));
}

TEST_F(WindowBuildTest, AnsweringYesThenCancellingTheDialogStartsNothing) {
  fake.messages.answers = {true};
  click("cmdBuild");

  EXPECT_EQ(fake.messages.saveDialogs.size(), 1u);
  EXPECT_TRUE(fake.processes.started.empty());
  EXPECT_EQ(messageLines(), (std::vector<std::string>{
                                kNoFileQuestion,
                                "Notice: File not saved.  No output filename selected\r\n"
                                "The window still has no settings file: Save asks for one."}));
}

TEST_F(WindowBuildTest, ABuildIsCompleteOnlyOnceItHasEndedWithStatusZero) {
  std::string path = folder / "my settings.dat";
  fake.messages.answers = {true};
  fake.messages.saveChoices = {path};
  box("txtOwnU")->setText("ftp");
  click("cmdBuild");

  EXPECT_NE(readBytes(path).find("\r\nftp\r\n"), std::string::npos);
  ASSERT_EQ(fake.processes.started.size(), 1u);
  EXPECT_EQ(fake.processes.started[0].program, fake.processes.executablePath());
  EXPECT_EQ(fake.processes.started[0].args, std::vector<std::string>{"?" + path})
      << "one argument, blank kept";
  EXPECT_EQ(view->windowTitle(), "Kelvane v1.1 by Oduvin [my settings.dat]");
  EXPECT_EQ(messageLines().back(), "Horray: Settings successfully saved.")
      << "nothing is complete before the window has seen the build end";
  EXPECT_TRUE(QTest::qWaitFor([&] { return said(kComplete); }));
  EXPECT_EQ(fake.messages.shown.back().icon, Icon::Information);
}

TEST_F(WindowBuildTest, AFailedBuildLeavesTheWordToItsReportAndAnyOtherEndIsSaid) {
  state.datPath = folder / "s.dat";
  fake.processes.endedStatus = 1;  // the build wrote its report and asked about it itself
  fake.messages.answers = {false};
  // Where the report goes cannot be known here: the build's word is taken for it.
  click("cmdBuild");
  ASSERT_EQ(fake.processes.started.size(), 1u);
  EXPECT_TRUE(endsSeen());
  EXPECT_EQ(messageLines(), std::vector<std::string>{questionFor(state.datPath)});

  // Status 1 and a report newly written beside the program: said by the build itself.
  fake.stateFolder = folder / "state";
  const std::string report = folder / kReportName;
  fake.processes.started.clear();
  fake.messages.shown.clear();
  fake.messages.answers = {false};
  fake.processes.onStart = [&] { writeBytes(report, "a new report"); };
  click("cmdBuild");
  EXPECT_TRUE(endsSeen());
  EXPECT_EQ(fake.messages.shown.size(), 1u) << messageLines().back();
  fake.processes.onStart = nullptr;

  // Every other end is said, with what it means, and that the build is to be run again.
  const struct {
    int status;
    const char* meaning;
  } ends[] = {
      {1, "it was ended from outside, and wrote no error report"},  // the report is the old one
      {139, "it was ended by signal 11"},
      {137, "it was ended by signal 9 (killed: by kill -9, or by the system when memory ran out)"},
      {-1, "the system no longer knows how it ended"},
      {3, "it did not say why"},
  };
  for (const auto& end : ends) {
    SCOPED_TRACE(end.status);
    fake.messages.shown.clear();
    fake.processes.endedStatus = end.status;
    fake.messages.answers = {false};
    click("cmdBuild");
    EXPECT_TRUE(QTest::qWaitFor([&] { return fake.messages.shown.size() == 2; }));
    EXPECT_EQ(messageLines().back(),
              "Error: A build of \"" + state.datPath + "\" ended with status " +
                  std::to_string(end.status) + " before it completed: " + end.meaning +
                  ".\r\nThe VFS table and the mirror folders may not be up to date. Build "
                  "again; if it ends the same way, run the build in a terminal (kelvane \"?" +
                  state.datPath + "\") to see its messages.");
    EXPECT_EQ(fake.messages.shown.back().icon, Icon::Error);
  }
  EXPECT_FALSE(said(kComplete));
}

TEST_F(WindowBuildTest, ABuildThatEndsWhileTheDialogIsUpIsToldOnceItIsAnswered) {
  state.datPath = folder / "s.dat";
  fake.messages.answers = {false};
  click("cmdBuild");  // ended at once: seen at the event loop's next turn
  fake.messages.saveChoices = {folder / "t.dat"};
  fake.messages.whileShown = [] { QCoreApplication::processEvents(); };
  click("cmdSaveAs");
  EXPECT_TRUE(QTest::qWaitFor([&] { return said(kComplete); }));
  EXPECT_EQ(messageLines(),
            (std::vector<std::string>{questionFor(folder / "s.dat"),
                                      "Horray: Settings successfully saved.", kComplete}));
}

TEST_F(WindowBuildTest, ABuildThatCannotStartIsSaidAndNeverCalledComplete) {
  view->show();
  state.datPath = folder / "s.dat";
  fake.messages.answers = {false};
  fake.faults.failOn(Op::Start, 1, ENOENT);
  click("cmdBuild");

  ASSERT_EQ(fake.messages.shown.size(), 2u);
  EXPECT_EQ(fake.messages.shown[1].title, "Error");
  EXPECT_NE(fake.messages.shown[1].text.find("could not be started"), std::string::npos);
  EXPECT_TRUE(view->isVisible());

  // A program that is not there at all is refused by the real start as well.
  fake.processes.runStarted = true;
  fake.processes.executableOverride = folder / "no-such-program";
  fake.messages.answers = {false};
  click("cmdBuild");
  EXPECT_NE(fake.messages.shown.back().text.find(folder / "no-such-program"), std::string::npos);
  EXPECT_TRUE(endsSeen());
  EXPECT_FALSE(said(kComplete));
}

TEST_F(WindowBuildTest, TheWindowStaysUsableWhileTheBuildRunsAndIsToldWhenItEnds) {
  // A build that runs until the test lets it end.
  std::string build = folder / "build.sh";
  writeBytes(build, "#!/bin/sh\nwhile [ ! -e \"$0.go\" ]; do sleep 0.01; done\nexit 0\n");
  ::chmod(build.c_str(), 0700);
  fake.processes.executableOverride = build;
  fake.processes.runStarted = true;
  state.datPath = folder / "s.dat";
  fake.messages.answers = {false};
  click("cmdBuild");
  ASSERT_EQ(fake.processes.started.size(), 1u);

  box("txtOwnU")->setText("ftp");
  click("cmdSave");  // the window answers at once
  EXPECT_EQ(messageLines().back(), "Horray: Settings successfully saved.");
  EXPECT_FALSE(said(kComplete)) << "the build has not ended";

  writeBytes(build + ".go", "");
  EXPECT_TRUE(QTest::qWaitFor([&] { return said(kComplete); }, kChildTimeoutMs));
}

TEST_F(WindowBuildTest, TheRealChildThatFailsWritesItsReportAndIsNeverCalledComplete) {
  installProgram();
  fake.stateFolder = folder / "state";  // the window knows where reports go, and sees this one
  state.datPath = folder / "gone.dat";
  fake.messages.answers = {false};
  click("cmdBuild");
  ASSERT_EQ(fake.processes.started.size(), 1u);

  EXPECT_TRUE(endsSeen());
  std::string text = readBytes(folder / kReportName);
  EXPECT_NE(text.find("Loading dat file"), std::string::npos) << text;
  EXPECT_NE(text.find("Datfile        : " + folder / "gone.dat" + "\r\n"), std::string::npos)
      << text;
  EXPECT_EQ(messageLines(), std::vector<std::string>{questionFor(state.datPath)});
}

TEST_F(WindowBuildTest, TheRealChildGetsTheSavedFileFromTheWindow) {
  installProgram();
  makeFolders(folder / "sources/alpha");
  makeFolders(folder / "sources/beta");
  writeBytes(folder / "old.vfs", "/srv/pub|/pub|ftp|ftp|755\r\n");
  box("txtWhereCreate")->setText(QString::fromStdString(folder / "links"));
  box("txtVFS")->setText(QString::fromStdString(folder / "new.vfs"));
  box("txtVFSold")->setText(QString::fromStdString(folder / "old.vfs"));
  box("txtVirtualR")->setText("/merged");
  box("txtOwnU")->setText("ftp");
  box("txtOwnG")->setText("ftp");
  lines()->setPlainText(QString::fromStdString(folder / "sources/|music"));
  std::string settings = folder / "my settings.dat";
  fake.messages.answers = {true};
  fake.messages.saveChoices = {settings};
  click("cmdBuild");

  ASSERT_EQ(fake.processes.started.size(), 1u);
  EXPECT_EQ(fake.processes.started[0].args, std::vector<std::string>{"?" + settings});
  // Whichever way the build goes, the child read the whole path after the "?": it either
  // writes the new table or reports a failure naming that settings file; only the first is
  // complete.
  ASSERT_TRUE(endsSeen());
  std::string table = folder / "new.vfs";
  if (std::filesystem::exists(table)) {
    EXPECT_NE(readBytes(table).find("alpha"), std::string::npos);
    EXPECT_EQ(readBytes(table).rfind("/srv/pub|/pub|ftp|ftp|755\r\n", 0), 0u);
    EXPECT_EQ(messageLines().back(), kComplete);
  } else {
    std::string text = readBytes(folder / kReportName);
    EXPECT_NE(text.find("Datfile        : " + settings + "\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Output VFS     : " + table + "\r\n"), std::string::npos) << text;
    EXPECT_FALSE(said(kComplete));
  }
}

}  // namespace
}  // namespace kelvane::testing
