// The real program without a display, and the conversions between file bytes and Qt's text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_folder.h"
#include "window/qt/shown_text.h"

namespace kelvane::testing {
namespace {

// Even told to draw offscreen, the program opens no window that nobody can see.
const Environment kOffscreen = {{"QT_QPA_PLATFORM", "offscreen"}};

TEST(NoDisplay, WindowModesSayThereIsNoDisplayAndExitTwo) {
  TempFolder folder;
  std::string exe = installKelvaneCopy(folder / "program");
  writeBytes(folder / "s.dat", "a\r\nb\r\nc\r\nd\r\ne\r\nf\r\n755\r\n");

  Environment unset = kOffscreen;
  Environment deadX = kOffscreen;
  deadX.emplace_back("DISPLAY", ":9999");
  Environment deadWayland = kOffscreen;
  deadWayland.emplace_back("WAYLAND_DISPLAY", folder / "no-compositor");
  for (const auto& environment : {unset, deadX, deadWayland}) {
    for (const auto& arguments : {std::vector<std::string>{}, std::vector<std::string>{"s.dat"}}) {
      ProcessResult run = runProcess(exe, arguments, folder.path(), environment);
      ASSERT_LT(run.status, 128) << "not ended by itself: a program waiting for a person";
      EXPECT_EQ(run.status, 2);
      EXPECT_NE(run.err.find("no display"), std::string::npos) << run.err;
    }
  }
}

TEST(NoDisplay, AFailingBuildAnswersItsQuestionWithNoAndEnds) {
  TempFolder folder;
  std::string exe = installKelvaneCopy(folder / "program");
  ProcessResult run = runProcess(exe, {"?missing.dat"}, folder.path(), kOffscreen);
  ASSERT_LT(run.status, 128) << "not ended by itself: a program waiting for a person";
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("Error: An error has occured."), std::string::npos) << run.err;
}

TEST(ShownText, BytesShowAsUtf8OrLatin1AndGoBackUnchanged) {
  for (const std::string& bytes : {std::string("plain"), std::string("M\xc3\xbcller \xe2\x82\xac"),
                                   std::string("caf\xe9"), std::string("half \xc3"),
                                   std::string("\xef\xbb\xbf"
                                               "bom"),
                                   std::string("nul\0in", 6)}) {
    ShownText shown = showBytes(bytes);
    EXPECT_EQ((shown.latin1 ? shown.text.toLatin1() : shown.text.toUtf8()).toStdString(), bytes);
  }
  EXPECT_FALSE(showBytes("M\xc3\xbcller").latin1);
  EXPECT_EQ(showBytes("caf\xe9").text, QString::fromUtf8("caf\xc3\xa9"));
}

TEST(ShownText, LineEndsAndFiltersTakeQtsForm) {
  EXPECT_EQ(withQtLineEnds("a\r\nb\r\n"), "a\nb\n");
  EXPECT_EQ(withFileLineEnds("a\nb\n"), "a\r\nb\r\n");
  EXPECT_EQ(qtFilter("Dat files (*.dat)|*.dat"), "Dat files (*.dat)");
  EXPECT_EQ(qtFilter("Settings|*.dat|Everything|*"), "Settings (*.dat);;Everything (*)");
}

}  // namespace
}  // namespace kelvane::testing
