#pragma once

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <string>

#include "platform/qt/frm_main_view.h"
#include "startup/app_state.h"
#include "tests/support/fake_platform.h"
#include "window/frm_main.h"

namespace kelvane::testing {

// A temporary folder of the test's own, removed with everything in it afterwards.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readBytes(const std::string& path);
void writeBytes(const std::string& path, const std::string& bytes);
// Waits for a file to appear, for at most timeoutMs; true when it did.
bool waitForFile(const std::string& path, int timeoutMs);

// The real window on the offscreen platform, with the person played by a FakePlatform whose
// program folder is the test's temporary folder.
class WindowTest : public ::testing::Test {
 protected:
  WindowTest() { fake.programFolderOverride = folder.path(); }

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
  FakePlatform fake;
  AppState state;
  std::unique_ptr<FrmMain> form;
  std::unique_ptr<FrmMainView> view;
};

}  // namespace kelvane::testing
