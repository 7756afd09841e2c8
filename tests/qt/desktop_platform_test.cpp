// The real program without a display, and the conversions between file bytes and Qt's text.
#include <QProcess>
#include <QProcessEnvironment>

#include "platform/qt/shown_text.h"
#include "tests/qt/window_fixture.h"

namespace kelvane::testing {
namespace {

struct ProgramRun {
  bool finished;
  int status;
  std::string errors;
};

// Runs the built program with the environment given, for at most half a minute: a program
// that waited for a person would not finish.
ProgramRun runProgram(const QStringList& arguments, const QProcessEnvironment& environment,
                      const std::string& folder) {
  QProcess program;
  program.setProcessEnvironment(environment);
  program.setWorkingDirectory(QString::fromStdString(folder));
  program.start(QStringLiteral(KELVANE_EXE), arguments);
  bool finished = program.waitForFinished(30000);
  if (!finished) program.kill(), program.waitForFinished();
  return {finished, program.exitCode(), program.readAllStandardError().toStdString()};
}

QProcessEnvironment withoutDisplay() {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.remove(QStringLiteral("DISPLAY"));
  environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
  // Even told to draw offscreen, the program opens no window that nobody can see.
  environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  return environment;
}

TEST(NoDisplay, WindowModesSayThereIsNoDisplayAndExitTwo) {
  TempFolder folder;
  writeBytes(folder / "s.dat", "a\r\nb\r\nc\r\nd\r\ne\r\nf\r\n755\r\n");

  QProcessEnvironment unset = withoutDisplay();
  QProcessEnvironment deadX = withoutDisplay();
  deadX.insert(QStringLiteral("DISPLAY"), QStringLiteral(":9999"));
  QProcessEnvironment deadWayland = withoutDisplay();
  deadWayland.insert(QStringLiteral("WAYLAND_DISPLAY"),
                     QString::fromStdString(folder / "no-compositor"));
  for (const auto& environment : {unset, deadX, deadWayland}) {
    for (const QStringList& arguments : {QStringList{}, QStringList{"s.dat"}}) {
      ProgramRun run = runProgram(arguments, environment, folder.path());
      ASSERT_TRUE(run.finished);
      EXPECT_EQ(run.status, 2);
      EXPECT_NE(run.errors.find("no display"), std::string::npos) << run.errors;
    }
  }
}

TEST(NoDisplay, AFailingBuildAnswersItsQuestionWithNoAndEnds) {
  TempFolder folder;
  ProgramRun run = runProgram({"?missing.dat"}, withoutDisplay(), folder.path());
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.errors.find("Error: An error has occured."), std::string::npos) << run.errors;
}

TEST(ShownText, BytesShowAsUtf8OrLatin1AndGoBackUnchanged) {
  for (const std::string& bytes : {std::string("plain"), std::string("M\xc3\xbcller \xe2\x82\xac"),
                                   std::string("caf\xe9"), std::string("half \xc3"),
                                   std::string("\xef\xbb\xbf"
                                               "bom"),
                                   std::string("nul\0in", 6)}) {
    ShownText shown = showBytes(bytes);
    EXPECT_EQ(bytesOf(shown.text, shown.latin1), bytes);
  }
  EXPECT_FALSE(showBytes("M\xc3\xbcller").latin1);
  EXPECT_EQ(showBytes("caf\xe9").text, QString::fromUtf8("caf\xc3\xa9"));
  // What Latin-1 cannot hold, typed into a box shown as Latin-1, is kept as UTF-8.
  EXPECT_EQ(bytesOf(QString::fromUtf8("\xe2\x82\xac"), true), "\xe2\x82\xac");
}

TEST(ShownText, LineEndsAndFiltersTakeQtsForm) {
  EXPECT_EQ(withQtLineEnds("a\r\nb\r\n"), "a\nb\n");
  EXPECT_EQ(withFileLineEnds("a\nb\n"), "a\r\nb\r\n");
  EXPECT_EQ(qtFilter("Dat files (*.dat)|*.dat"), "Dat files (*.dat)");
  EXPECT_EQ(qtFilter("Settings|*.dat|Everything|*"), "Settings (*.dat);;Everything (*)");
}

}  // namespace
}  // namespace kelvane::testing
