#pragma once

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <string>

#include "settings/app_state.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_platform.h"
#include "window/frm_main.h"
#include "window/qt/frm_main_view.h"

namespace kelvane::testing {

// The real window on the offscreen platform, with the person played by a TestPlatform whose
// program folder is the test's temporary folder.
class WindowTest : public ::testing::Test {
 protected:
  WindowTest() { fake.processes.programFolderOverride = folder.path(); }

  // Builds the view for the state as it stands (start-up may have filled it).
  void openWindow();
  // Shows the window and makes it the active one, so that keys reach it.
  void showActive();

  QLineEdit* box(const char* name) const;
  QPlainTextEdit* lines() const;
  QPushButton* button(const char* name) const;
  void click(const char* name) { QTest::mouseClick(button(name), Qt::LeftButton); }
  // The texts of the messages shown so far, "title: text" each.
  std::vector<std::string> messageLines() const;

  TempFolder folder;
  TestPlatform fake;
  AppState state;
  std::unique_ptr<FrmMain> form;
  std::unique_ptr<FrmMainView> view;
};

}  // namespace kelvane::testing
