// Saving from the window: the dialog, the exact file, the current file, reopening.
#include <sys/stat.h>
#include <unistd.h>

#include <QTextDocument>

#include "startup/form_load.h"
#include "tests/qt/window_fixture.h"

namespace kelvane::testing {
namespace {

class WindowSaveTest : public WindowTest {
 protected:
  void SetUp() override {
    openWindow();
    box("txtCHMOD")->setText("755");  // the box's own text is no number, so it is refused
  }

  // Settings a user would type, one with a comma and one with blanks around it.
  void typeSettings() {
    box("txtWhereCreate")->setText("/srv/links");
    box("txtVFS")->setText("/srv/ftp/new.vfs");
    box("txtVFSold")->setText("/srv/ftp/old,table.vfs");
    box("txtVirtualR")->setText("/merged");
    box("txtOwnU")->setText(" ftp ");
    box("txtOwnG")->setText("users");
    box("txtCHMOD")->setText("755");
    lines()->setPlainText("/data/mp3|music\n/data/iso/");
  }

  std::string caption() const { return view->windowTitle().toStdString(); }
};

const char* const kTypedFile =
    "/srv/links\r\n/srv/ftp/new.vfs\r\n\"/srv/ftp/old,table.vfs\"\r\n/merged\r\n\" ftp \"\r\n"
    "users\r\n755\r\n/data/mp3|music\r\n/data/iso/\r\n";

TEST_F(WindowSaveTest, SaveWithoutFileAsksThenWritesExactlyTheBoxes) {
  typeSettings();
  std::string path = folder / "music.dat";
  fake.messages.saveChoices = {path};
  click("cmdSave");

  ASSERT_EQ(fake.messages.saveDialogs.size(), 1u);
  EXPECT_EQ(fake.messages.saveDialogs[0],
            "Open Varnholt settings file.|Dat files (*.dat)|*.dat|" + folder.path());
  EXPECT_EQ(readBytes(path), kTypedFile);
  EXPECT_EQ(messageLines(), std::vector<std::string>{"Horray: Settings successfully saved."});
  EXPECT_EQ(fake.messages.shown[0].icon, Icon::Information);
  EXPECT_EQ(caption(), "Kelvane v1.1 by Oduvin [music.dat]");
  EXPECT_EQ(state.datPath, path);
}

TEST_F(WindowSaveTest, SaveWithACurrentFileWritesWithoutAsking) {
  typeSettings();
  std::string path = folder / "current.dat";
  fake.messages.saveChoices = {path};
  click("cmdSave");
  box("txtCHMOD")->setText("777");
  lines()->setPlainText("/data/films|films");
  click("cmdSave");

  EXPECT_EQ(fake.messages.saveDialogs.size(), 1u);
  EXPECT_EQ(readBytes(path),
            "/srv/links\r\n/srv/ftp/new.vfs\r\n\"/srv/ftp/old,table.vfs\"\r\n/merged\r\n"
            "\" ftp \"\r\nusers\r\n777\r\n/data/films|films\r\n");
  EXPECT_EQ(fake.messages.shown.size(), 2u);
}

TEST_F(WindowSaveTest, ACancelledSaveAsKeepsTheWindowsFileForSaveAndBuild) {
  std::string first = folder / "first.dat";
  box("txtCHMOD")->setText("755");
  fake.messages.saveChoices = {first, ""};
  click("cmdSave");
  click("cmdSaveAs");  // cancelled

  EXPECT_EQ(fake.messages.shown.back().title, "Notice");
  EXPECT_EQ(
      fake.messages.shown.back().text,
      "File not saved.  No output filename selected\r\nThe window keeps its settings file \"" +
          first + "\".");
  EXPECT_EQ(fake.messages.shown.back().icon, Icon::Error);
  EXPECT_EQ(caption(), "Kelvane v1.1 by Oduvin [first.dat]");
  EXPECT_EQ(state.datPath, first);

  box("txtOwnU")->setText("nobody");
  click("cmdSave");
  EXPECT_EQ(fake.messages.saveDialogs.size(), 2u) << "Save asks for nothing";
  EXPECT_NE(readBytes(first).find("\r\nnobody\r\n"), std::string::npos);

  fake.messages.answers = {false};
  click("cmdBuild");
  ASSERT_EQ(fake.processes.started.size(), 1u);
  EXPECT_EQ(fake.processes.started[0].args, std::vector<std::string>{"?" + first});
}

TEST_F(WindowSaveTest, AReopenedFileShowsEveryBoxAsSavedAndSavesTheSameBytes) {
  typeSettings();
  std::string path = folder / "round trip.dat";
  fake.messages.saveChoices = {path};
  click("cmdSave");

  AppState reopened;
  ASSERT_EQ(formLoad(fake, path, reopened), RunMode::WindowLoaded);
  FrmMain form2(fake, reopened);
  FrmMainView view2(form2, fake.messages);
  for (const char* name :
       {"txtWhereCreate", "txtVFS", "txtVFSold", "txtVirtualR", "txtOwnU", "txtOwnG", "txtCHMOD"}) {
    auto* again = view2.findChild<QLineEdit*>(name);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->text(), box(name)->text()) << name;
  }
  EXPECT_EQ(view2.findChild<QPlainTextEdit*>("txtLines")->toPlainText(), lines()->toPlainText());
  EXPECT_EQ(view2.windowTitle(), "Kelvane v1.1 by Oduvin [round trip.dat]");

  QTest::mouseClick(view2.findChild<QPushButton*>("cmdSave"), Qt::LeftButton);
  EXPECT_EQ(fake.messages.saveDialogs.size(), 1u);
  EXPECT_EQ(readBytes(path), kTypedFile);
}

TEST_F(WindowSaveTest, AFileNotInUtf8IsShownInItsCodePageAndSavedUnchanged) {
  // Windows-1252 throughout: "café", "€", "Š", the undefined 0x81 and a non-breaking space.
  // The UTF-8 look of "Müller" is two characters of the code page, as the file holds it.
  const std::string bytes =
      "/srv/caf\xe9\r\n/srv/new.vfs\r\n/srv/old.vfs\r\n/v\r\nM\xc3\xbcller\r\ng\x80\r\n-1\r\n"
      "/data/\x8a\x81|genre\r\n/data/b\xa0"
      "c|b\r\n";
  std::string path = folder / "cp1252.dat";
  writeBytes(path, bytes);
  ASSERT_EQ(formLoad(fake, path, state), RunMode::WindowLoaded);
  openWindow();

  EXPECT_EQ(box("txtWhereCreate")->text(), QString::fromUtf8("/srv/caf\u00e9"));
  EXPECT_EQ(box("txtOwnU")->text(), QString::fromUtf8("M\u00c3\u00bcller"));
  EXPECT_EQ(box("txtOwnG")->text(), QString::fromUtf8("g\u20ac"));
  EXPECT_EQ(box("txtCHMOD")->text(), "-1");
  EXPECT_EQ(lines()->document()->toRawText(),
            QString::fromUtf8("/data/\u0160\u0081|genre\u2029/data/b\u00a0"
                              "c|b"));
  click("cmdSave");
  EXPECT_TRUE(fake.messages.saveDialogs.empty());
  EXPECT_EQ(readBytes(path), bytes);

  // A character typed that the code page has: the file stays in it.
  box("txtOwnU")->setText(QString::fromUtf8("j\u00f6rg\u2122"));
  click("cmdSave");
  EXPECT_NE(readBytes(path).find("\r\nj\xf6rg\x99\r\n"), std::string::npos);
}

TEST_F(WindowSaveTest, ACharacterTheCodePageLacksIsSavedOnlyWithTheWholeFileInUtf8) {
  const std::string bytes =
      "/l\r\n/n.vfs\r\n/o.vfs\r\n/v\r\nj\xf6rg\r\ng\r\n755\r\n/d/caf\xe9|x\r\n";
  std::string path = folder / "cp1252.dat";
  writeBytes(path, bytes);
  ASSERT_EQ(formLoad(fake, path, state), RunMode::WindowLoaded);
  openWindow();
  box("txtOwnG")->setText(QString::fromUtf8("\u0142\u00f3d\u017a"));  // "ł" is not in it

  fake.messages.answers = {false};
  click("cmdSave");
  ASSERT_EQ(fake.messages.shown.size(), 1u);
  EXPECT_TRUE(fake.messages.shown[0].question);
  EXPECT_EQ(fake.messages.shown[0].text,
            "The owner group box holds \"\u0142\", which the settings file's Windows-1252 cannot "
            "hold.\r\nSave the whole settings file in UTF-8 instead? Its other values stay as they "
            "are; builds read UTF-8 too.\r\nNo saves nothing: change that box, or Save again to "
            "be asked again.");
  EXPECT_EQ(readBytes(path), bytes) << "never a file of two encodings";

  fake.messages.answers = {true};
  click("cmdSave");
  EXPECT_EQ(messageLines().back(), "Horray: Settings successfully saved.");
  EXPECT_EQ(readBytes(path),
            "/l\r\n/n.vfs\r\n/o.vfs\r\n/v\r\nj\u00f6rg\r\n\u0142\u00f3d\u017a\r\n755\r\n/d/"
            "caf\u00e9|x\r\n");
  // UTF-8 from now on: no more questions.
  box("txtOwnU")->setText(QString::fromUtf8("\u4e2d"));
  click("cmdSave");
  EXPECT_EQ(fake.messages.shown.size(), 4u);
  EXPECT_FALSE(fake.messages.shown.back().question);

  // The same character in a merge line names the line.
  AppState other;
  writeBytes(path, bytes);
  ASSERT_EQ(formLoad(fake, path, other), RunMode::WindowLoaded);
  other.boxes.Lines = "/d/a\r\n/d/\u0142|x";
  EXPECT_EQ(unencodableText(other.boxes, fake.files),
            "Line 2 of the merge-source box holds \"\u0142\", which the settings file's "
            "Windows-1252 cannot hold");
}

TEST_F(WindowSaveTest, AChangeOnDiskIsAskedAboutBeforeItIsOverwritten) {
  typeSettings();
  std::string path = folder / "shared.dat";
  fake.messages.saveChoices = {path};
  click("cmdSave");
  const std::string other = "/x\r\n/y\r\n/z\r\n/v\r\nu\r\ng\r\n1\r\n";
  writeBytes(path, other);  // a second window, or an editor, saves it
  fake.messages.shown.clear();

  fake.messages.answers = {false};
  click("cmdSave");
  ASSERT_EQ(fake.messages.shown.size(), 1u);
  EXPECT_TRUE(fake.messages.shown[0].question);
  EXPECT_NE(
      fake.messages.shown[0].text.find("The settings file \"" + path +
                                       "\" changed on disk after the window read or saved it"),
      std::string::npos)
      << fake.messages.shown[0].text;
  EXPECT_EQ(readBytes(path), other);
  fake.messages.answers = {false};
  click("cmdBuild");  // answered No to saving: not saved, not built
  EXPECT_EQ(readBytes(path), other);

  fake.messages.answers = {true};
  click("cmdSave");
  EXPECT_EQ(readBytes(path), kTypedFile);
  // What the window saved is what it compares with now: the next Save asks nothing.
  fake.messages.shown.clear();
  click("cmdSave");
  EXPECT_EQ(messageLines(), std::vector<std::string>{"Horray: Settings successfully saved."});

  // A file removed meanwhile is a change too; one read at start-up is compared with as read.
  std::remove(path.c_str());
  fake.messages.answers = {false};
  click("cmdSave");
  EXPECT_NE(fake.messages.shown.back().text.find(", or removed it"), std::string::npos);
  writeBytes(path, kTypedFile);
  AppState reopened;
  ASSERT_EQ(formLoad(fake, path, reopened), RunMode::WindowLoaded);
  writeBytes(path, other);
  FrmMain second(fake, reopened);
  fake.messages.answers = {false};
  second.cmdSave_Click();
  EXPECT_EQ(readBytes(path), other);
}

TEST_F(WindowSaveTest, ANewFileIsWritableByItsOwnerAloneAndAnOldOneKeepsItsMode) {
  typeSettings();
  mode_t old = ::umask(002);
  makeFolders(folder / "sub");
  std::string fresh = folder / "sub/fresh.dat", kept = folder / "kept.dat";
  writeBytes(kept, "old");
  ASSERT_EQ(::chmod(kept.c_str(), 0640), 0);
  fake.messages.saveChoices = {fresh, kept};
  click("cmdSaveAs");
  click("cmdSaveAs");
  ::umask(old);
  struct stat made {
  }, replaced{};
  ASSERT_EQ(::stat(fresh.c_str(), &made), 0);
  ASSERT_EQ(::stat(kept.c_str(), &replaced), 0);
  EXPECT_EQ(made.st_mode & 07777, 0644u) << "no group write, whatever the umask";
  EXPECT_EQ(replaced.st_mode & 07777, 0640u);
  EXPECT_EQ(readBytes(kept), kTypedFile);
  // The dialog opened in the folder of the window's file, and asks for a .dat name.
  ASSERT_EQ(fake.messages.saveDialogs.size(), 2u);
  EXPECT_EQ(fake.messages.saveDialogs[1],
            "Open Varnholt settings file.|Dat files (*.dat)|*.dat|" + folder / "sub");
  EXPECT_EQ(filterExtension(kSaveDialogFilter), "dat");
  EXPECT_EQ(filterExtension("All|*"), "");
}

TEST_F(WindowSaveTest, ANonBreakingSpaceTypedInTheMergeLinesIsSavedAsTyped) {
  lines()->setPlainText(
      QString::fromUtf8("/data/a\xc2\xa0"
                        "b|g\n/data/c d|h"));
  std::string path = folder / "nbsp.dat";
  fake.messages.saveChoices = {path};
  click("cmdSave");
  std::string saved = readBytes(path);
  EXPECT_NE(saved.find("/data/a\xc2\xa0"
                       "b|g\r\n/data/c d|h\r\n"),
            std::string::npos)
      << saved;
}

TEST_F(WindowSaveTest, AFileNamedLikeQtsModifiedMarkIsShownAsItIsNamed) {
  fake.messages.saveChoices = {folder / "[*]"};
  click("cmdSave");
  showActive();
  EXPECT_EQ(view->windowHandle()->title(), "Kelvane v1.1 by Oduvin [[*]]");
}

TEST_F(WindowSaveTest, AReadOnlyFolderIsNamedInAMessageAndTheWindowStaysOpen) {
  showActive();
  std::string locked = folder / "locked";
  ASSERT_EQ(::mkdir(locked.c_str(), 0555), 0);
  // The superuser writes into read-only folders: there the refusal is played by the fake.
  if (::geteuid() == 0) fake.faults.failOn(Op::Open, 1, EACCES);
  std::string path = locked + "/settings.dat";
  fake.messages.saveChoices = {path};
  typeSettings();
  click("cmdSave");

  ASSERT_EQ(fake.messages.shown.size(), 1u);
  EXPECT_EQ(fake.messages.shown[0].title, "Notice");
  EXPECT_NE(fake.messages.shown[0].text.find(path), std::string::npos)
      << fake.messages.shown[0].text;
  EXPECT_NE(fake.messages.shown[0].text.find("Permission denied"), std::string::npos);
  EXPECT_NE(fake.messages.shown[0].text.find("The window still has no settings file"),
            std::string::npos);
  EXPECT_TRUE(view->isVisible());
  EXPECT_EQ(caption(), "Kelvane v1.1 by Oduvin");
  EXPECT_EQ(state.datPath, "") << "the failed path is not the window's file";
  EXPECT_EQ(box("txtVFS")->text(), "/srv/ftp/new.vfs") << "what was typed is kept";

  // The user picks another place and saves what was typed.
  std::string elsewhere = folder / "saved.dat";
  fake.messages.saveChoices = {elsewhere};
  click("cmdSaveAs");
  EXPECT_EQ(readBytes(elsewhere), kTypedFile);
}

TEST_F(WindowSaveTest, AFailedSaveAsKeepsTheFileTheWindowHadAndSaysSo) {
  typeSettings();
  std::string first = folder / "first.dat";
  fake.messages.saveChoices = {first};
  click("cmdSave");
  std::string locked = folder / "locked";
  ASSERT_EQ(::mkdir(locked.c_str(), 0555), 0);
  if (::geteuid() == 0) fake.faults.failOn(Op::Open, 1, EACCES);
  fake.messages.saveChoices = {locked + "/other.dat"};
  box("txtOwnU")->setText("nobody");
  click("cmdSaveAs");

  ASSERT_EQ(fake.messages.shown.size(), 2u);
  EXPECT_EQ(fake.messages.shown[1].title, "Notice");
  EXPECT_EQ(fake.messages.shown[1].icon, Icon::Error);
  EXPECT_NE(fake.messages.shown[1].text.find(locked + "/other.dat"), std::string::npos);
  EXPECT_NE(
      fake.messages.shown[1].text.find("The window keeps its settings file \"" + first + "\"."),
      std::string::npos)
      << fake.messages.shown[1].text;
  EXPECT_EQ(state.datPath, first);
  EXPECT_EQ(caption(), "Kelvane v1.1 by Oduvin [first.dat]");

  // The next Save writes the file the window kept, and a build answered No builds it.
  click("cmdSave");
  EXPECT_EQ(fake.messages.saveDialogs.size(), 2u);
  EXPECT_NE(readBytes(first).find("\r\nnobody\r\n"), std::string::npos);
  fake.messages.answers = {false};
  click("cmdBuild");
  ASSERT_EQ(fake.processes.started.size(), 1u);
  EXPECT_EQ(fake.processes.started[0].args, std::vector<std::string>{"?" + first});
}

TEST_F(WindowSaveTest, AValueTheFileCannotHoldIsRefusedBeforeAnythingIsWritten) {
  typeSettings();
  std::string path = folder / "kept.dat";
  fake.messages.saveChoices = {path};
  click("cmdSave");
  const std::string saved = readBytes(path);
  fake.messages.shown.clear();

  box("txtOwnG")->setText("a,\"b\"");
  click("cmdSave");
  click("cmdSaveAs");
  fake.messages.answers = {true};
  click("cmdBuild");
  ASSERT_EQ(fake.messages.shown.size(), 4u);
  for (size_t i : {0, 1, 3}) {
    SCOPED_TRACE(i);
    EXPECT_EQ(fake.messages.shown[i].title, "Notice");
    EXPECT_EQ(fake.messages.shown[i].icon, Icon::Error);
    EXPECT_EQ(fake.messages.shown[i].text,
              "Settings not saved. The owner group box holds a double quote (\"), which the "
              "settings file cannot hold: remove it (commas and blanks need no quotes, they are "
              "saved as typed).\r\nNothing was written.");
  }
  EXPECT_EQ(fake.messages.saveDialogs.size(), 1u)
      << "no file is asked for that would not be written";
  EXPECT_TRUE(fake.processes.started.empty());
  EXPECT_EQ(readBytes(path), saved);
  EXPECT_EQ(state.datPath, path);
  EXPECT_EQ(caption(), "Kelvane v1.1 by Oduvin [kept.dat]");
  EXPECT_EQ(box("txtOwnG")->text(), "a,\"b\"") << "what was typed stays, to be changed";

  lines()->setPlainText("/data/mp3|music\n/data/\"iso\"/");
  box("txtOwnG")->setText("a,b");  // the nearest text that can be saved
  click("cmdSave");
  EXPECT_NE(
      fake.messages.shown.back().text.find("Line 2 of the merge-source box holds a double quote"),
      std::string::npos);
  lines()->setPlainText("/data/mp3|music\n/data/iso/");
  click("cmdSave");
  EXPECT_EQ(messageLines().back(), "Horray: Settings successfully saved.");
  AppState reopened;
  ASSERT_EQ(formLoad(fake, path, reopened), RunMode::WindowLoaded);
  EXPECT_EQ(reopened.boxes.OwnG, "a,b");
  EXPECT_EQ(reopened.boxes.CHMOD, "755");
}

TEST_F(WindowSaveTest, AModeTheFileCouldNotBeReadBackWithIsRefusedAtSave) {
  typeSettings();
  std::string path = folder / "kept.dat";
  fake.messages.saveChoices = {path};
  click("cmdSave");
  const std::string saved = readBytes(path);

  box("txtCHMOD")->setText("755A7B");
  click("cmdSave");
  EXPECT_EQ(messageLines().back(),
            "Notice: Settings not saved. The permission (CHMOD) box holds \"755A7B\", which is not "
            "a number: type a number such as 755, or nothing for 0.\r\nNothing was written.");
  EXPECT_EQ(readBytes(path), saved);
  EXPECT_EQ(box("txtCHMOD")->text(), "755A7B") << "what was typed stays, to be changed";

  box("txtCHMOD")->setText("750");
  click("cmdSave");
  EXPECT_EQ(messageLines().back(), "Horray: Settings successfully saved.");
  AppState reopened;
  ASSERT_EQ(formLoad(fake, path, reopened), RunMode::WindowLoaded);
  EXPECT_EQ(reopened.boxes.CHMOD, "750");
}

}  // namespace
}  // namespace kelvane::testing
