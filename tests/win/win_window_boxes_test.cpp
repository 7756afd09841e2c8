// The running Win32 window with the system's own message boxes and save dialog, answered as
// a person would: the focus comes back after each, whatever a handler moved it to, and when the
// window is activated again; replacing a file is asked about; a failed save keeps the window's
// file, and a value the file cannot hold is refused.

#include <gtest/gtest.h>
#include <windows.h>

#include "tests/win/win_person.h"
#include "tests/win/win_scratch.h"
#include "win/win_support.h"
#include "window/frm_main.h"
#include "window/win/win_window.h"

namespace kelvane::testing {
namespace {

constexpr int kFileNameBox = 0x47c;  // in the save dialog
const char* const kDialogTitle = "Open Varnholt settings file.";

class WinWindowBoxes : public ::testing::Test {
 protected:
  WinWindowBoxes() {
    platform.realBoxes = true;
    state.boxes.CHMOD = "755";  // the box's own text is no number, so it is refused
  }

  // Opens the window on the state as it stands, as start-up leaves it.
  void open() {
    form = std::make_unique<FrmMain>(platform, state);
    window = std::make_unique<WinMainWindow>(*form, platform);
  }
  HWND main() const { return window->handle(); }
  HWND stop(size_t i) const { return tabStops(main())[i]; }
  HWND button(const wchar_t* text) const {
    return ::FindWindowExW(main(), nullptr, L"Button", text);
  }

  // Steps that answer the save dialog with path, having seen that it took the focus.
  Step answerDialog(const std::string& path) {
    return [this, path] {
      HWND dialog = shownDialog(kDialogTitle);
      if (!dialog) return false;
      EXPECT_FALSE(::IsChild(main(), ::GetFocus())) << "the dialog has the focus";
      ::SetDlgItemTextW(dialog, kFileNameBox, win::wide(path).c_str());
      ::PostMessageW(dialog, WM_COMMAND, IDOK, 0);
      return true;
    };
  }
  // A step that answers the box the save dialog asks in before it replaces a file (one the
  // dialog owns), having read its text.
  Step answerReplace(bool yes, std::string* text) {
    return [yes, text] {
      HWND box = nullptr;
      ::EnumThreadWindows(
          ::GetCurrentThreadId(),
          [](HWND window, LPARAM found) -> BOOL {
            HWND owner = ::GetWindow(window, GW_OWNER);
            wchar_t kind[16];
            if (!::IsWindowVisible(window) || !owner || !::GetClassNameW(owner, kind, 16) ||
                std::wstring(kind) != L"#32770")
              return TRUE;
            *reinterpret_cast<HWND*>(found) = window;
            return FALSE;
          },
          reinterpret_cast<LPARAM>(&box));
      if (!box) return false;
      *text = boxText(box);
      ::PostMessageW(box, WM_COMMAND, yes ? IDYES : IDNO, 0);
      return true;
    };
  }
  // A step that reads the message box of that title into text and presses OK.
  Step answerBox(const std::string& title, std::string* text = nullptr) {
    return [this, title, text] {
      HWND box = shownDialog(title);
      if (!box) return false;
      EXPECT_FALSE(::IsChild(main(), ::GetFocus())) << "the box has the focus";
      if (text) *text = boxText(box);
      ::PostMessageW(box, WM_COMMAND, IDOK, 0);
      return true;
    };
  }
  // A step that presses the access key of a button, with the focus where it is.
  Step accessKey(WORD key) {
    return [key] {
      press({VK_MENU, key});
      return true;
    };
  }
  // A step that types a key into whatever has the focus, then one that lets it arrive.
  std::vector<Step> typeKey(WORD key) {
    return {[key] {
              press({key});
              return true;
            },
            settle()};
  }
  // A step that waits for every box to be gone and checks where the focus is.
  Step expectFocusIn(HWND control, const char* after) {
    return [this, control, after, n = 0]() mutable {
      if (shownDialog("") || ++n < 5) return false;
      EXPECT_EQ(::GetActiveWindow(), main()) << after;
      EXPECT_EQ(::GetFocus(), control) << after;
      return true;
    };
  }

  WinScratch t;
  PersonPlatform platform;
  AppState state;
  std::unique_ptr<FrmMain> form;
  std::unique_ptr<WinMainWindow> window;
};

TEST_F(WinWindowBoxes, TheFocusComesBackAfterTheDialogTheMessageAndAnotherWindow) {
  open();
  HWND group = stop(5);  // txtOwnG
  std::string path = t / "one.dat";
  HWND other = nullptr;
  drive(*window,
        {
            [&] {
              ::SetForegroundWindow(main());
              ::SetFocus(group);
              ::SetWindowTextW(group, L"users");
              ::SendMessageW(group, EM_SETSEL, 2, 2);
              postClick(main(), button(L"&Save Settings"));  // as Alt+S would, from the box
              return true;
            },
            answerDialog(path),
            answerBox("Horray"),
            expectFocusIn(group, "after the dialog and the message"),
            [&] {
              press({'X'});
              return true;
            },
            settle(),
            [&] {
              EXPECT_EQ(textOf(group), "usxers") << "typing goes on where it was";
              other = ::CreateWindowExW(0, L"STATIC", L"other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0,
                                        0, 200, 100, nullptr, nullptr, nullptr, nullptr);
              ::SetForegroundWindow(other);
              ::SetActiveWindow(other);
              return true;
            },
            settle(),
            [&] {
              EXPECT_EQ(::GetActiveWindow(), other);
              EXPECT_NE(::GetFocus(), group);
              ::SetForegroundWindow(main());
              ::SetActiveWindow(main());
              return true;
            },
            settle(),
            [&] {
              EXPECT_EQ(::GetFocus(), group) << "after another window";
              ::DestroyWindow(other);
              // Whatever moves the focus inside the window while a handler runs, it comes back.
              platform.whileShown = [&] { ::SetFocus(stop(1)); };
              postClick(main(), button(L"&Save Settings"));
              return true;
            },
            answerBox("Horray"),
            expectFocusIn(group, "after a handler moved the focus"),
        });
  EXPECT_EQ(platform.shown, (std::vector<std::string>{"dialog: Open Varnholt settings file.",
                                                      "Horray: Settings successfully saved.",
                                                      "Horray: Settings successfully saved."}));
  EXPECT_EQ(state.datPath, path);
  EXPECT_NE(t.read("one.dat").find("\r\nusxers\r\n"), std::string::npos) << "saved again";
}

TEST_F(WinWindowBoxes, AFailedSaveAsKeepsTheWindowsFileAndSaysSo) {
  t.file("one.dat", "kept\r\n");
  t.file("locked.dat", "before\r\n");
  // Another program holds the file open, sharing nothing. (Under Wine, run as root, a
  // read-only file or folder is written all the same.)
  HANDLE held = ::CreateFileW(win::wide(t / "locked.dat").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  state.datPath = t / "one.dat";
  state.caption = captionFor(state.datPath, "\\/");
  open();
  HWND vfs = stop(1);
  std::string failure, caption, askedFirst, askedAgain;
  drive(*window, {
                     [&] {
                       ::SetForegroundWindow(main());
                       ::SetFocus(vfs);
                       postClick(main(), button(L"&as"));
                       return true;
                     },
                     // Replacing a file is asked about: No leaves the dialog up.
                     answerDialog(t / "locked.dat"),
                     answerReplace(false, &askedFirst),
                     answerDialog(t / "locked.dat"),
                     answerReplace(true, &askedAgain),
                     answerBox("Notice", &failure),
                     expectFocusIn(vfs, "after the failure"),
                     [&] {
                       caption = textOf(main());
                       return true;
                     },
                 });
  ::CloseHandle(held);
  // (Windows names the file in its question; Wine says "File already exists.")
  EXPECT_NE(askedFirst.find("exists"), std::string::npos) << askedFirst;
  EXPECT_EQ(askedAgain, askedFirst);
  EXPECT_NE(failure.find("locked.dat"), std::string::npos) << failure;
  EXPECT_NE(failure.find("The window keeps its settings file \"" + t / "one.dat" + "\"."),
            std::string::npos)
      << failure;
  EXPECT_EQ(state.datPath, t / "one.dat");
  EXPECT_EQ(caption, "Kelvane v1.1 by Oduvin [one.dat]");
  EXPECT_EQ(t.read("locked.dat"), "before\r\n");
  EXPECT_EQ(t.read("one.dat"), "kept\r\n");
}

// A name typed without a folder or an extension goes beside the window's file, as a .dat file.
TEST_F(WinWindowBoxes, SaveAsStartsInTheFolderOfTheWindowsFileAndAddsDat) {
  t.file("one.dat", "kept\r\n");
  state.datPath = t / "one.dat";
  open();
  drive(*window, {[&] {
                    postClick(main(), button(L"&as"));
                    return true;
                  },
                  answerDialog("two"), answerBox("Horray")});
  EXPECT_EQ(state.datPath, t / "two.dat");
  EXPECT_NE(t.read("two.dat").find("\r\n755\r\n"), std::string::npos);
  EXPECT_EQ(t.read("one.dat"), "kept\r\n");
}

TEST_F(WinWindowBoxes, AValueTheFileCannotHoldIsRefusedBeforeTheDialog) {
  t.file("one.dat", "kept\r\n");
  state.datPath = t / "one.dat";
  open();
  HWND group = stop(5);
  std::string refusal;
  drive(*window, {
                     [&] {
                       ::SetForegroundWindow(main());
                       ::SetFocus(group);
                       ::SetWindowTextW(group, L"a,\"b\"");
                       postClick(main(), button(L"&as"));
                       return true;
                     },
                     answerBox("Notice", &refusal),
                     expectFocusIn(group, "after the refusal"),
                 });
  EXPECT_EQ(platform.shown.size(), 1u) << "no dialog";
  EXPECT_NE(refusal.find("The owner group box holds a double quote"), std::string::npos) << refusal;
  EXPECT_NE(refusal.find("Nothing was written."), std::string::npos) << refusal;
  EXPECT_EQ(t.read("one.dat"), "kept\r\n");
  EXPECT_EQ(state.datPath, t / "one.dat");
}

// The dialog manager moves the focus to a button before its access key presses it: the box
// that had the focus gets it back after the key's messages and dialog, as after a click there.
// A cancelled Save as keeps the window's file: the next Save asks for nothing.
TEST_F(WinWindowBoxes, AfterAnAccessKeyTypingGoesOnInTheBoxAndACancelledSaveAsKeepsTheFile) {
  t.file("one.dat", "kept\r\n");
  state.datPath = t / "one.dat";
  state.caption = captionFor(state.datPath, "\\/");
  open();
  HWND root = stop(3);  // txtVirtualR
  std::string caption;
  std::vector<Step> steps = {
      [&] {
        ::SetForegroundWindow(main());
        ::SetFocus(root);
        ::SetWindowTextW(root, L"/a\"b");
        ::SendMessageW(root, EM_SETSEL, 4, 4);
        return true;
      },
      accessKey('S'),
      answerBox("Notice"),
      expectFocusIn(root, "after Alt+S and the refusal"),
  };
  auto add = [&](std::vector<Step> more) { steps.insert(steps.end(), more.begin(), more.end()); };
  add(typeKey('Z'));
  add({[&] {
         EXPECT_EQ(textOf(root), "/a\"bz") << "the key went to the box";
         ::SetWindowTextW(root, L"/v");
         ::SendMessageW(root, EM_SETSEL, 2, 2);
         return true;
       },
       accessKey('S'), answerBox("Horray"), expectFocusIn(root, "after Alt+S and the message"),
       accessKey('A'),
       [&] {
         HWND dialog = shownDialog(kDialogTitle);
         if (dialog) ::PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
         return dialog != nullptr;
       },
       answerBox("Notice"), expectFocusIn(root, "after Alt+A and the cancelled dialog")});
  add(typeKey('Z'));
  add({accessKey('S'), answerBox("Horray"), expectFocusIn(root, "after the last Alt+S"), [&] {
         caption = textOf(main());
         return true;
       }});
  drive(*window, steps);
  EXPECT_EQ(platform.shown,
            (std::vector<std::string>{
                "Notice: Settings not saved. The virtual root box holds a double quote (\"), which "
                "the settings file cannot hold: remove it (commas and blanks need no quotes, they "
                "are saved as typed).\r\nNothing was written.",
                "Horray: Settings successfully saved.", "dialog: Open Varnholt settings file.",
                "Notice: File not saved.  No output filename selected\r\nThe window keeps its "
                "settings file \"" +
                    t / "one.dat" + "\".",
                "Horray: Settings successfully saved."}));
  EXPECT_EQ(state.datPath, t / "one.dat");
  EXPECT_EQ(caption, "Kelvane v1.1 by Oduvin [one.dat]");
  EXPECT_NE(t.read("one.dat").find("\r\n/vz\r\n"), std::string::npos) << t.read("one.dat");
}

}  // namespace
}  // namespace kelvane::testing
