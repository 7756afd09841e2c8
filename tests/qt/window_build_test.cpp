// The Build button: the question, the recorded or real start of the build, and its failures.
#include <filesystem>

#include "report/error_report.h"
#include "tests/qt/window_fixture.h"
#include "tests/support/process.h"

namespace kelvane::testing {
namespace {

class WindowBuildTest : public WindowTest {
 protected:
  void SetUp() override { openWindow(); }

  // Puts a copy of the real program in the test's folder, so that its program folder (and
  // the error report beside it) is the test's own, and lets the fake really start it.
  std::string installProgram() {
    std::string exe = installKelvaneCopy(folder.path());
    fake.executableOverride = exe;
    fake.runStarted = true;
    return exe;
  }
};

constexpr int kChildTimeoutMs = 30000;

TEST_F(WindowBuildTest, AnsweringNoWithNoFileStartsTheProgramWithAQuestionMarkAlone) {
  fake.answers = {false};
  click("cmdBuild");

  ASSERT_FALSE(fake.messages.empty());
  EXPECT_EQ(fake.messages[0].title, "Hmm");
  EXPECT_EQ(fake.messages[0].text, "Save settings first?");
  EXPECT_EQ(fake.messages[0].icon, Icon::Question);
  EXPECT_TRUE(fake.messages[0].question);
  EXPECT_TRUE(fake.saveDialogs.empty());
  ASSERT_EQ(fake.started.size(), 1u);
  EXPECT_EQ(fake.started[0].program, fake.executablePath());
  EXPECT_EQ(fake.started[0].args, std::vector<std::string>{"?"});
  EXPECT_EQ(messageLines().back(), "yay: Building complete");
}

TEST_F(WindowBuildTest, AnsweringYesThenCancellingTheDialogStartsNothing) {
  fake.answers = {true};
  click("cmdBuild");

  EXPECT_EQ(fake.saveDialogs.size(), 1u);
  EXPECT_TRUE(fake.started.empty());
  EXPECT_EQ(messageLines(),
            (std::vector<std::string>{"Hmm: Save settings first?",
                                      "Notice: File not saved.  No output filename selected"}));
}

TEST_F(WindowBuildTest, AnsweringYesSavesThenStartsTheBuildOnThatFile) {
  std::string path = folder / "my settings.dat";
  fake.answers = {true};
  fake.saveChoices = {path};
  box("txtOwnU")->setText("ftp");
  click("cmdBuild");

  EXPECT_NE(readBytes(path).find("\r\nftp\r\n"), std::string::npos);
  ASSERT_EQ(fake.started.size(), 1u);
  EXPECT_EQ(fake.started[0].args, std::vector<std::string>{"?" + path})
      << "one argument, blank kept";
  EXPECT_EQ(messageLines().back(), "yay: Building complete");
  EXPECT_EQ(view->windowTitle(), "Kelvane v1.1 by Oduvin [my settings.dat]");
}

TEST_F(WindowBuildTest, ABuildThatCannotStartIsSaidAndNeverCalledComplete) {
  view->show();
  fake.answers = {false};
  fake.failOn(Op::Start, 1, ENOENT);
  click("cmdBuild");

  ASSERT_EQ(fake.messages.size(), 2u);
  EXPECT_EQ(fake.messages[1].title, "Error");
  EXPECT_NE(fake.messages[1].text.find("could not be started"), std::string::npos);
  EXPECT_TRUE(view->isVisible());

  // A program that is not there at all is refused by the real start as well.
  fake.runStarted = true;
  fake.executableOverride = folder / "no-such-program";
  fake.answers = {false};
  click("cmdBuild");
  EXPECT_NE(fake.messages.back().text.find(folder / "no-such-program"), std::string::npos);
  for (const auto& m : fake.messages) EXPECT_NE(m.text, "Building complete");
}

TEST_F(WindowBuildTest, TheRealChildWithNoSettingsFileWritesTheErrorReport) {
  installProgram();
  fake.answers = {false};
  click("cmdBuild");
  ASSERT_EQ(fake.started.size(), 1u);

  // "?" alone: the child takes its own folder for the settings file, cannot read it, and
  // reports that beside itself.
  std::string report = folder / kReportName;
  ASSERT_TRUE(waitForFile(report, kChildTimeoutMs));
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return readBytes(report).find("Recommended FIX") != std::string::npos; },
      kChildTimeoutMs));
  std::string text = readBytes(report);
  EXPECT_NE(text.find("Loading dat file"), std::string::npos) << text;
  EXPECT_NE(text.find("Datfile        : " + folder.path() + "/\r\n"), std::string::npos) << text;
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
  box("txtCHMOD")->setText("755");
  lines()->setPlainText(QString::fromStdString(folder / "sources/|music"));
  std::string settings = folder / "my settings.dat";
  fake.answers = {true};
  fake.saveChoices = {settings};
  click("cmdBuild");

  ASSERT_EQ(fake.started.size(), 1u);
  EXPECT_EQ(fake.started[0].args, std::vector<std::string>{"?" + settings});
  // Whichever way the build goes, the child read the whole path after the "?": it either
  // writes the new table or reports a failure naming that settings file.
  std::string report = folder / kReportName;
  std::string table = folder / "new.vfs";
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        // The report may not be there yet, and reading a missing file fails the test.
        return (pathExists(report) &&
                readBytes(report).find("Recommended FIX") != std::string::npos) ||
               std::filesystem::exists(table);
      },
      kChildTimeoutMs));
  if (std::filesystem::exists(table)) {
    EXPECT_TRUE(QTest::qWaitFor([&] { return readBytes(table).find("alpha") != std::string::npos; },
                                kChildTimeoutMs));
    EXPECT_EQ(readBytes(table).rfind("/srv/pub|/pub|ftp|ftp|755\r\n", 0), 0u);
  } else {
    std::string text = readBytes(report);
    EXPECT_NE(text.find("Datfile        : " + settings + "\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Output VFS     : " + table + "\r\n"), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace kelvane::testing
