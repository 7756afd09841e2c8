// Keys and focus as a person meets them: Enter and Escape in every control, and the focus
// given back after each box and dialog and when the window is activated again.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include "tests/qt/window_fixture.h"

namespace kelvane::testing {
namespace {

const char* const kControls[] = {"txtWhereCreate", "txtVFS",   "txtVFSold", "txtVirtualR",
                                 "txtOwnU",        "txtOwnG",  "txtCHMOD",  "txtLines",
                                 "cmdSave",        "cmdBuild", "cmdClose",  "cmdSaveAs"};

class WindowFocusTest : public WindowTest {
 protected:
  void SetUp() override {
    openWindow();
    showActive();
  }

  QWidget* control(const char* name) const {
    auto* found = view->findChild<QWidget*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
  }

  // While the fake answers, a real message box stands over the window as the platform's
  // would (owned by the active window), takes the activation, and is closed with OK.
  void showRealBoxes() {
    fake.messages.whileShown = [this] {
      QMessageBox box(QMessageBox::Information, "box", "box", QMessageBox::Ok,
                      QApplication::activeWindow());
      QTimer::singleShot(0, &box, [this, &box] {
        if (QTest::qWaitForWindowActive(&box)) ++boxesThatTookTheWindow;
        box.accept();
      });
      box.exec();
    };
  }

  int boxesThatTookTheWindow = 0;
};

TEST_F(WindowFocusTest, EnterAndEscapeDoNothingInAnyControlButStartLinesInTheMergeBox) {
  const SettingsTexts before = state.boxes;
  for (const char* name : kControls) {
    SCOPED_TRACE(name);
    control(name)->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), control(name));
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
      QTest::keyClick(QApplication::focusWidget(), key);
    QTest::qWait(20);  // a click a key had started would come now
    EXPECT_TRUE(view->isVisible());
    EXPECT_EQ(QApplication::focusWidget(), control(name));
    EXPECT_EQ(messageLines(), std::vector<std::string>{});
    EXPECT_TRUE(fake.messages.saveDialogs.empty());
    EXPECT_TRUE(fake.processes.started.empty());
    EXPECT_FALSE(form->closeRequested());
  }
  const std::pair<const char*, std::string SettingsTexts::*> boxes[] = {
      {"txtWhereCreate", &SettingsTexts::WhereCreate},
      {"txtVFS", &SettingsTexts::VFS},
      {"txtVFSold", &SettingsTexts::VFSold},
      {"txtVirtualR", &SettingsTexts::VirtualR},
      {"txtOwnU", &SettingsTexts::OwnU},
      {"txtOwnG", &SettingsTexts::OwnG},
      {"txtCHMOD", &SettingsTexts::CHMOD}};
  for (const auto& [name, text] : boxes)
    EXPECT_EQ(box(name)->text().toStdString(), before.*text) << name;
  EXPECT_EQ(lines()->toPlainText(), "\n\n") << "Return and Enter each start a line";
}

TEST_F(WindowFocusTest, TheFocusComesBackAfterTheDialogAndEveryMessage) {
  showRealBoxes();
  QLineEdit* group = box("txtOwnG");
  box("txtCHMOD")->setText("755");
  group->setFocus();
  group->setText("users");
  group->setCursorPosition(2);
  fake.messages.saveChoices = {folder / "one.dat"};
  button("cmdSave")->click();  // as Alt+S does: the focus stays in the box
  EXPECT_EQ(fake.messages.saveDialogs.size(), 1u);
  EXPECT_EQ(messageLines(), std::vector<std::string>{"Horray: Settings successfully saved."});
  EXPECT_EQ(boxesThatTookTheWindow, 2) << "the dialog and the message each took the window";
  EXPECT_TRUE(QTest::qWaitForWindowActive(view.get()));
  EXPECT_EQ(QApplication::focusWidget(), group);
  QTest::keyClicks(QApplication::focusWidget(), "X");
  EXPECT_EQ(group->text(), "usXers") << "typing goes on where it was";

  // Build: a question, the save's message, and the build's once it has ended.
  lines()->setFocus();
  fake.messages.answers = {true};
  button("cmdBuild")->click();
  EXPECT_TRUE(QTest::qWaitFor([&] { return boxesThatTookTheWindow == 5; }));
  EXPECT_EQ(fake.processes.started.size(), 1u);
  EXPECT_TRUE(QTest::qWaitForWindowActive(view.get()));
  EXPECT_EQ(QApplication::focusWidget(), lines());

  // A failure message, and a button clicked with the mouse, which took the focus itself.
  fake.faults.failOn(Op::Open, 1, EACCES);
  QTest::mouseClick(button("cmdSave"), Qt::LeftButton);
  EXPECT_EQ(boxesThatTookTheWindow, 6);
  EXPECT_EQ(fake.messages.shown.back().title, "Notice");
  EXPECT_TRUE(QTest::qWaitForWindowActive(view.get()));
  EXPECT_EQ(QApplication::focusWidget(), button("cmdSave"));

  // Whatever moves the focus inside the window while a handler runs, it comes back.
  group->setFocus();
  fake.messages.whileShown = [&] { box("txtVFS")->setFocus(); };
  button("cmdSave")->click();
  fake.messages.whileShown = nullptr;
  EXPECT_EQ(messageLines().back(), "Horray: Settings successfully saved.");
  EXPECT_TRUE(QTest::qWaitForWindowActive(view.get()));
  EXPECT_EQ(QApplication::focusWidget(), group);
}

// The access keys, typed, as after a click: the refusal, the saved message and the dialog.
TEST_F(WindowFocusTest, AfterAnAccessKeyTypingGoesOnInTheBoxThatHadTheFocus) {
  showRealBoxes();
  state.datPath = folder / "one.dat";
  box("txtCHMOD")->setText("755");
  QLineEdit* root = box("txtVirtualR");
  root->setText("/merged");
  root->setFocus();
  root->setText("/a\"b");
  // A mnemonic clicks its button a moment after the key: its message is the sign.
  auto typeAfter = [&](Qt::Key key, size_t messages, const char* typed, const QString& expected) {
    QTest::keyClick(QApplication::focusWidget(), key, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return fake.messages.shown.size() == messages; }));
    EXPECT_TRUE(QTest::qWaitForWindowActive(view.get()));
    EXPECT_EQ(QApplication::focusWidget(), root);
    QTest::keyClicks(QApplication::focusWidget(), typed);
    EXPECT_EQ(root->text(), expected);
  };
  typeAfter(Qt::Key_S, 1, "Z", "/a\"bZ");  // refused
  root->setText("/v");
  typeAfter(Qt::Key_S, 2, "Z", "/vZ");   // saved
  typeAfter(Qt::Key_A, 3, "Y", "/vZY");  // the dialog, cancelled, and its message
  EXPECT_EQ(fake.messages.saveDialogs.size(), 1u);
  EXPECT_EQ(fake.messages.shown.size(), 3u);
}

TEST_F(WindowFocusTest, TheFocusComesBackWhenTheWindowIsActivatedAgain) {
  QLineEdit* root = box("txtVirtualR");
  root->setText("/merged");
  root->setFocus();
  root->setCursorPosition(3);
  QWidget other;
  other.resize(100, 100);
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  EXPECT_NE(QApplication::focusWidget(), root);

  view->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
  EXPECT_EQ(QApplication::focusWidget(), root);
  EXPECT_EQ(root->cursorPosition(), 3);
  EXPECT_FALSE(root->hasSelectedText());
}

}  // namespace
}  // namespace kelvane::testing
