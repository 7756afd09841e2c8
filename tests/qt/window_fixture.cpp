#include "tests/qt/window_fixture.h"

#include <stdlib.h>

#include <QApplication>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kelvane::testing {

TempFolder::TempFolder() {
  char name[] = "/tmp/kelvane-window-XXXXXX";
  if (::mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = name;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  // A test may have left a folder read-only.
  for (auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored))
    if (entry.is_directory(ignored))
      std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

bool waitForFile(const std::string& path, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!std::filesystem::exists(path)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

void WindowTest::openWindow() {
  form = std::make_unique<FrmMain>(fake, state);
  view = std::make_unique<FrmMainView>(*form, fake);
}

void WindowTest::showActive() {
  view->showCentred();
  view->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
}

QLineEdit* WindowTest::box(const char* name) const {
  auto* edit = view->findChild<QLineEdit*>(QString::fromLatin1(name));
  EXPECT_NE(edit, nullptr) << name;
  return edit;
}

QPlainTextEdit* WindowTest::lines() const {
  return view->findChild<QPlainTextEdit*>(QStringLiteral("txtLines"));
}

QPushButton* WindowTest::button(const char* name) const {
  auto* found = view->findChild<QPushButton*>(QString::fromLatin1(name));
  EXPECT_NE(found, nullptr) << name;
  return found;
}

std::vector<std::string> WindowTest::messageLines() const {
  std::vector<std::string> out;
  for (const auto& m : fake.messages) out.push_back(m.title + ": " + m.text);
  return out;
}

}  // namespace kelvane::testing
