#include "tests/qt/window_fixture.h"

#include <QApplication>

namespace kelvane::testing {

void WindowTest::openWindow() {
  view.reset();  // before the form it shows
  form = std::make_unique<FrmMain>(fake, state);
  view = std::make_unique<FrmMainView>(*form, fake.messages);
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
  for (const auto& m : fake.messages.shown) out.push_back(m.title + ": " + m.text);
  return out;
}

}  // namespace kelvane::testing
