#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

// The window tests build the real widgets on Qt's offscreen platform. No display is used,
// and the programs the tests start find none either, so nothing waits for a person.
int main(int argc, char** argv) {
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
