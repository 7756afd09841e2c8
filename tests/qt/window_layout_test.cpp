// The window control for control: where everything sits, what it says, how focus moves.
#include <QApplication>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QScrollBar>
#include <QWindow>

#include "startup/form_load.h"
#include "tests/qt/window_fixture.h"

namespace kelvane::testing {
namespace {

class WindowLayoutTest : public WindowTest {
 protected:
  void SetUp() override { openWindow(); }
};

TEST_F(WindowLayoutTest, EveryControlSitsAtItsPlaceInTheFixedWindow) {
  EXPECT_EQ(view->size(), QSize(347, 433));
  EXPECT_EQ(view->minimumSize(), QSize(347, 433));
  EXPECT_EQ(view->maximumSize(), QSize(347, 433));

  auto* frame = view->findChild<QGroupBox*>("fraSetup");
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->title(), "Setup");
  EXPECT_EQ(frame->geometry(), QRect(8, 8, 329, 417));

  const struct {
    const char* name;
    QRect place;
  } controls[] = {
      {"txtWhereCreate", {8, 16, 313, 19}}, {"txtVFS", {8, 40, 313, 19}},
      {"txtVFSold", {8, 64, 313, 19}},      {"txtVirtualR", {8, 88, 313, 19}},
      {"txtOwnU", {120, 112, 65, 19}},      {"txtOwnG", {192, 112, 73, 19}},
      {"txtCHMOD", {272, 112, 49, 19}},     {"txtLines", {8, 144, 313, 233}},
      {"imgIcon", {5, 377, 32, 32}},        {"cmdSave", {40, 384, 89, 25}},
      {"cmdSaveAs", {128, 384, 33, 25}},    {"cmdBuild", {160, 384, 97, 25}},
      {"cmdClose", {256, 384, 65, 25}},
  };
  for (const auto& control : controls) {
    auto* widget = view->findChild<QWidget*>(control.name);
    ASSERT_NE(widget, nullptr) << control.name;
    EXPECT_EQ(widget->parentWidget(), frame) << control.name;
    EXPECT_EQ(widget->geometry(), control.place) << control.name;
  }

  auto* line = view->findChild<QFrame*>("Line1");
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->parentWidget(), frame);
  EXPECT_EQ(line->frameShape(), QFrame::HLine);
  EXPECT_EQ(line->geometry(), QRect(QPoint(16, 136), QPoint(304, 136)));

  EXPECT_EQ(lines()->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_EQ(lines()->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(lines()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
}

TEST_F(WindowLayoutTest, ControlsStartWithTheirHintsTooltipsCaptionAndIcon) {
  const struct {
    const char* name;
    const char* hint;
    const char* tooltip;
  } boxes[] = {
      {"txtWhereCreate", "Physical location of the path where all the links will go.",
       "Physical location of the path where all the folders will be made."},
      {"txtVFS", "Filename of the VFS file that your server uses.",
       "Filename of the VFS file that your server uses."},
      {"txtVFSold", "Filepath of the VFS where your original VFS is.",
       "Filepath of the VFS where your original VFS is."},
      {"txtVirtualR", "Virtual path to where all the merged links will be aimed at.",
       "Virtual path to where all the merged links will be aimed at."},
      {"txtOwnU", "Owner User", "Owner User"},
      {"txtOwnG", "Owner Group", "Owner Group"},
      {"txtCHMOD", "CHMOD", "CHMOD"},
  };
  // The hints are shown while a box is empty and are no part of its text.
  for (const auto& b : boxes) {
    EXPECT_EQ(box(b.name)->text(), "") << b.name;
    EXPECT_EQ(box(b.name)->placeholderText(), b.hint) << b.name;
    EXPECT_EQ(box(b.name)->toolTip(), b.tooltip) << b.name;
  }
  EXPECT_EQ(lines()->toPlainText(), "");
  // Linux paths in the examples.
  EXPECT_EQ(lines()->toolTip(), "Put your folders to merge in format /folder/|subfolder");
  EXPECT_EQ(lines()->placeholderText(),
            "Physical path link to Virtual path, optional genre.\n"
            "Press return at the end of each line.\n"
            "Format: Physical|subsection(genre)\n"
            "ie1.0: /srv/mp3s/alternative|alternative\n"
            "ie2.1: /srv/iso/\n"
            "ie2.2: /mnt/iso/\n");
  EXPECT_EQ(mergeHelpText('\\').substr(mergeHelpText('\\').find("ie1.0")),
            "ie1.0: D:\\mp3s\\alternative|alternative\r\nie2.1: D:\\iso\\\r\nie2.2: F:\\iso\\\r\n");
  EXPECT_EQ(linesTip('\\'), "Put your folders to merge in format X:\\Folder\\|subfolder");

  EXPECT_EQ(button("cmdSave")->text(), "&Save Settings");
  EXPECT_EQ(button("cmdSaveAs")->text(), "&as");
  EXPECT_EQ(button("cmdBuild")->text(), "&Build VFS now!");
  EXPECT_EQ(button("cmdClose")->text(), "&Close");
  EXPECT_EQ(view->windowTitle(), "Kelvane v1.1 by Oduvin");

  // No control sets a font of its own.
  for (auto* widget : view->findChildren<QWidget*>())
    EXPECT_EQ(widget->font(), QApplication::font(widget)) << widget->objectName().toStdString();

  // The title bar and imgIcon show the same 32 by 32 picture.
  auto* image = view->findChild<QLabel*>("imgIcon");
  ASSERT_NE(image, nullptr);
  QImage shown = image->pixmap().toImage().convertToFormat(QImage::Format_ARGB32);
  QImage title = view->windowIcon().pixmap(32, 32).toImage().convertToFormat(QImage::Format_ARGB32);
  EXPECT_EQ(shown.size(), QSize(32, 32));
  EXPECT_FALSE(view->windowIcon().isNull());
  EXPECT_EQ(shown, title);
}

TEST_F(WindowLayoutTest, StartsInTxtWhereCreateAndTabsThroughEverythingWithAsLast) {
  showActive();
  ASSERT_EQ(QApplication::focusWidget(), box("txtWhereCreate"));
  std::vector<std::string> order;
  for (int i = 0; i < 12; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    order.push_back(QApplication::focusWidget()->objectName().toStdString());
  }
  EXPECT_EQ(order,
            (std::vector<std::string>{"txtVFS", "txtVFSold", "txtVirtualR", "txtOwnU", "txtOwnG",
                                      "txtCHMOD", "txtLines", "cmdSave", "cmdBuild", "cmdClose",
                                      "cmdSaveAs", "txtWhereCreate"}));
  EXPECT_EQ(lines()->toPlainText(), "") << "Tab in the merge box moves on, it types nothing";
}

TEST_F(WindowLayoutTest, AltKeysPressTheirButtons) {
  showActive();
  box("txtCHMOD")->setText("755");
  EXPECT_EQ(button("cmdSave")->shortcut(), QKeySequence("Alt+S"));
  EXPECT_EQ(button("cmdSaveAs")->shortcut(), QKeySequence("Alt+A"));
  EXPECT_EQ(button("cmdBuild")->shortcut(), QKeySequence("Alt+B"));
  EXPECT_EQ(button("cmdClose")->shortcut(), QKeySequence("Alt+C"));

  // A mnemonic clicks its button the way a mouse would, a moment after the key.
  auto press = [&](Qt::Key key) {
    QTest::keyClick(QApplication::focusWidget(), key, Qt::AltModifier);
  };
  press(Qt::Key_S);  // Save: no file yet, so it asks for one
  EXPECT_TRUE(QTest::qWaitFor([&] { return fake.messages.saveDialogs.size() == 1; }));
  press(Qt::Key_A);  // Save as always asks
  EXPECT_TRUE(QTest::qWaitFor([&] { return fake.messages.saveDialogs.size() == 2; }));
  press(Qt::Key_B);  // Build asks whether to save first
  // The two cancelled dialogs each said "Notice"; the build's question comes next.
  EXPECT_TRUE(QTest::qWaitFor([&] { return fake.messages.shown.size() > 2; }));
  ASSERT_GT(fake.messages.shown.size(), 2u);
  EXPECT_EQ(fake.messages.shown[2].title, "Hmm");
  EXPECT_TRUE(view->isVisible());
  press(Qt::Key_C);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !view->isVisible(); }));
}

TEST_F(WindowLayoutTest, EnterAndEscapePressNothing) {
  showActive();
  for (const char* name : {"cmdSave", "cmdSaveAs", "cmdBuild", "cmdClose"}) {
    EXPECT_FALSE(button(name)->isDefault()) << name;
    EXPECT_FALSE(button(name)->autoDefault()) << name;
  }
  box("txtVFS")->setFocus();
  QTest::keyClick(box("txtVFS"), Qt::Key_Return);
  QTest::keyClick(box("txtVFS"), Qt::Key_Enter);
  QTest::keyClick(box("txtVFS"), Qt::Key_Escape);
  QTest::keyClick(view.get(), Qt::Key_Escape);
  EXPECT_TRUE(fake.messages.shown.empty());
  EXPECT_TRUE(fake.messages.saveDialogs.empty());
  EXPECT_TRUE(fake.processes.started.empty());
  EXPECT_TRUE(view->isVisible());
}

TEST_F(WindowLayoutTest, ClickingTheIconOrClosingChangesNothingButClosing) {
  showActive();
  QTest::mouseClick(view->findChild<QLabel*>("imgIcon"), Qt::LeftButton);
  EXPECT_TRUE(fake.messages.shown.empty());
  EXPECT_TRUE(view->isVisible());
  EXPECT_EQ(box("txtVFS")->text(), "");
  click("cmdClose");
  EXPECT_FALSE(view->isVisible());
  EXPECT_TRUE(fake.messages.shown.empty()) << "Close does not ask to save";
}

TEST(WindowModes, AnUntouchedEmptyWindowSavesEmptyValues) {
  TestPlatform fake;
  TempFolder folder;
  AppState state;
  ASSERT_EQ(formLoad(fake, "", state), RunMode::WindowEmpty);
  FrmMain form(fake, state);
  FrmMainView view(form, fake.messages);
  EXPECT_EQ(view.windowTitle(), "Kelvane v1.1 by Oduvin");
  fake.messages.saveChoices = {folder / "untouched.dat"};
  QTest::mouseClick(view.findChild<QPushButton*>("cmdSave"), Qt::LeftButton);
  EXPECT_EQ(readBytes(folder / "untouched.dat"), "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n");
}

}  // namespace
}  // namespace kelvane::testing
