// The Win32 settings window as a person meets it: placement, controls and their hints, the
// file's encoding, keyboard.

#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <vector>

#include "startup/form_load.h"
#include "tests/support/test_platform.h"
#include "tests/win/win_person.h"
#include "tests/win/win_scratch.h"
#include "win/win_support.h"
#include "window/frm_main.h"
#include "window/win/win_window.h"

namespace kelvane {
namespace {

struct Control {
  std::string kind;
  std::string text;
  std::string hint;  // an edit control's cue banner, shown while it is empty
  RECT rect;         // in client coordinates
};

bool operator==(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

std::string textOf(HWND window) {
  wchar_t buffer[256];
  return win::narrow(std::wstring(buffer, ::GetWindowTextW(window, buffer, 256)));
}

std::string kindOf(HWND window) {
  wchar_t buffer[64];
  return win::narrow(std::wstring(buffer, ::GetClassNameW(window, buffer, 64)));
}

std::string hintOf(HWND window) {
  wchar_t buffer[256] = L"";
  if (kindOf(window) == "Edit")
    ::SendMessageW(window, EM_GETCUEBANNER, reinterpret_cast<WPARAM>(buffer), 256);
  return win::narrow(buffer);
}

// What a person reads in a control: its text, or the hint of an empty box.
std::string shownIn(HWND window) {
  std::string text = textOf(window);
  return text.empty() ? hintOf(window) : text;
}

// x, y, width, height relative to the frame, as client coordinates.
RECT inFrame(int x, int y, int width, int height) {
  return {8 + x, 8 + y, 8 + x + width, 8 + y + height};
}

class WinWindowTest : public ::testing::Test {
 protected:
  WinWindowTest() : form(platform, state), window(form, platform.messages) {}

  // The children in the order the dialog manager tabs through them.
  std::vector<Control> controls() {
    std::vector<Control> out;
    for (HWND child = ::GetWindow(window.handle(), GW_CHILD); child;
         child = ::GetWindow(child, GW_HWNDNEXT)) {
      RECT rect;
      ::GetWindowRect(child, &rect);
      ::MapWindowPoints(nullptr, window.handle(), reinterpret_cast<POINT*>(&rect), 2);
      out.push_back({kindOf(child), textOf(child), hintOf(child), rect});
    }
    return out;
  }

  HWND child(const std::string& text) {
    for (HWND c = ::GetWindow(window.handle(), GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT))
      if (shownIn(c) == text) return c;
    return nullptr;
  }

  testing::SystemPlatform platform;
  AppState state;
  FrmMain form;
  WinMainWindow window;
};

TEST_F(WinWindowTest, ClientAreaIsFixedAndCentred) {
  RECT client, outer, area;
  ::GetClientRect(window.handle(), &client);
  EXPECT_EQ(client.right, 347);
  EXPECT_EQ(client.bottom, 433);
  ::GetWindowRect(window.handle(), &outer);
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  EXPECT_LE(std::abs((outer.left + outer.right) - (area.left + area.right)), 1);
  EXPECT_LE(std::abs((outer.top + outer.bottom) - (area.top + area.bottom)), 1);
  LONG style = ::GetWindowLongW(window.handle(), GWL_STYLE);
  EXPECT_FALSE(style & WS_THICKFRAME);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_EQ(textOf(window.handle()), "Kelvane v1.1 by Oduvin");
}

TEST_F(WinWindowTest, ControlsSitWhereTheLayoutPutsThemInTheOrderTheyAreMade) {
  // The boxes are empty: each shows its hint, which is no value (the tooltips keep the texts).
  const SettingsTexts hint = initialBoxTexts();
  std::vector<Control> expected = {
      {"Button", "Setup", "", inFrame(0, 0, 329, 417)},
      {"Edit", "", hint.WhereCreate, inFrame(8, 16, 313, 19)},
      {"Edit", "", hint.VFS, inFrame(8, 40, 313, 19)},
      {"Edit", "", hint.VFSold, inFrame(8, 64, 313, 19)},
      {"Edit", "", hint.VirtualR, inFrame(8, 88, 313, 19)},
      {"Edit", "", hint.OwnU, inFrame(120, 112, 65, 19)},
      {"Edit", "", hint.OwnG, inFrame(192, 112, 73, 19)},
      {"Edit", "", hint.CHMOD, inFrame(272, 112, 49, 19)},
      {"Static", "", "", inFrame(16, 136, 289, 1)},
      {"Edit", "", "", inFrame(8, 144, 313, 233)},  // its hint is drawn: no cue banner
      {"Static", "", "", inFrame(5, 377, 32, 32)},
      {"Button", "&Save Settings", "", inFrame(40, 384, 89, 25)},
      {"Button", "&Build VFS now!", "", inFrame(160, 384, 97, 25)},
      {"Button", "&Close", "", inFrame(256, 384, 65, 25)},
      {"Button", "&as", "", inFrame(128, 384, 33, 25)},
  };
  std::vector<Control> made = controls();
  ASSERT_EQ(made.size(), expected.size());
  for (size_t i = 0; i < made.size(); ++i) {
    SCOPED_TRACE("control " + std::to_string(i) + " " + expected[i].text + expected[i].hint);
    EXPECT_EQ(made[i].kind, expected[i].kind);
    EXPECT_EQ(made[i].text, expected[i].text);
    EXPECT_EQ(made[i].hint, expected[i].hint);
    EXPECT_TRUE(made[i].rect == expected[i].rect)
        << made[i].rect.left << "," << made[i].rect.top << " " << made[i].rect.right << ","
        << made[i].rect.bottom;
  }
}

TEST_F(WinWindowTest, TabGoesThroughBoxesThenButtonsWithAsLast) {
  ::ShowWindow(window.handle(), SW_SHOWNORMAL);
  const SettingsTexts initial = initialBoxTexts();
  std::vector<std::string> order = {initial.WhereCreate, initial.VFS,  initial.VFSold,
                                    initial.VirtualR,    initial.OwnU, initial.OwnG,
                                    initial.CHMOD,       "",           "&Save Settings",
                                    "&Build VFS now!",   "&Close",     "&as",
                                    initial.WhereCreate};
  HWND at = child(initial.WhereCreate);
  for (size_t i = 1; i < order.size(); ++i) {
    at = ::GetNextDlgTabItem(window.handle(), at, FALSE);
    ASSERT_NE(at, nullptr);
    EXPECT_EQ(shownIn(at), order[i]) << "tab stop " << i;
  }
}

TEST_F(WinWindowTest, DialogFontTooltipsIconAndNoDefaultButton) {
  for (const char* text : {"&Save Settings", "&as", "&Build VFS now!", "&Close"}) {
    HWND button = child(text);
    ASSERT_NE(button, nullptr) << text;
    EXPECT_EQ(::GetWindowLongW(button, GWL_STYLE) & BS_TYPEMASK, BS_PUSHBUTTON) << text;
    LOGFONTW font{};
    ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(button, WM_GETFONT, 0, 0)), sizeof font,
                 &font);
    EXPECT_EQ(std::wstring(font.lfFaceName), L"MS Shell Dlg");
    EXPECT_EQ(font.lfHeight, -11);
  }
  EXPECT_EQ(::SendMessageW(window.handle(), DM_GETDEFID, 0, 0), 0);
  HWND tips = ::FindWindowExW(nullptr, nullptr, L"tooltips_class32", nullptr);
  for (; tips && ::GetWindow(tips, GW_OWNER) != window.handle();
       tips = ::FindWindowExW(nullptr, tips, L"tooltips_class32", nullptr)) {
  }
  ASSERT_NE(tips, nullptr);
  EXPECT_EQ(::SendMessageW(tips, TTM_GETTOOLCOUNT, 0, 0), 8);
  EXPECT_NE(::GetClassLongPtrW(window.handle(), GCLP_HICON), 0);
  HWND image = ::GetWindow(child("&Save Settings"), GW_HWNDPREV);
  ASSERT_EQ(kindOf(image), "Static");
  EXPECT_NE(::SendMessageW(image, STM_GETICON, 0, 0), 0);
}

// The merge-source box has no cue banner: its help is drawn in it, greyed, while it is empty,
// and goes whole with the first character typed.
TEST_F(WinWindowTest, TheMergeSourceBoxShowsItsHelpOnlyWhileItIsEmpty) {
  ::ShowWindow(window.handle(), SW_SHOWNORMAL);
  HWND lines = testing::tabStops(window.handle())[7];
  auto greyPixels = [&] {
    ::UpdateWindow(lines);
    RECT area{};
    ::SendMessageW(lines, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&area));
    HDC dc = ::GetDC(lines);
    int n = 0;
    for (int y = area.top; y < area.bottom; ++y)
      for (int x = area.left; x < area.right; ++x)
        n += ::GetPixel(dc, x, y) == ::GetSysColor(COLOR_GRAYTEXT);
    ::ReleaseDC(lines, dc);
    return n;
  };
  EXPECT_GT(greyPixels(), 100) << "the help shows";
  ::SendMessageW(lines, WM_CHAR, L'x', 0);
  EXPECT_EQ(greyPixels(), 0) << "typing takes the help away, all of it";
  EXPECT_EQ(textOf(lines), "x");
  ::SendMessageW(lines, WM_CHAR, L'\b', 0);
  EXPECT_GT(greyPixels(), 100) << "empty again, the help is back";
  EXPECT_EQ(textOf(lines), "");
}

// A settings file in the ANSI code page is shown in it and saved in it again, byte for byte;
// a character the code page lacks is saved only with the whole file in UTF-8.
TEST(WinWindowText, AFileInTheCodePageIsShownAndSavedInItAndALongValueWhole) {
  if (::GetACP() != 1252) GTEST_SKIP() << "the ANSI code page is " << ::GetACP() << ", not 1252";
  testing::WinScratch t;
  testing::PersonPlatform platform;
  const std::string longLine(100000, 'x');
  const std::string bytes =
      "D:\\caf\xe9\r\nD:\\n.vfs\r\nD:\\o.vfs\r\n/v\r\nj\xf6rg\r\ng\x80\r\n755\r\n" + longLine +
      "\r\n";
  t.file("cp.dat", bytes);
  AppState state;
  ASSERT_EQ(formLoad(platform, t / "cp.dat", state), RunMode::WindowLoaded);
  FrmMain form(platform, state);
  WinMainWindow window(form, platform);
  std::vector<HWND> stops = testing::tabStops(window.handle());
  ASSERT_EQ(stops.size(), 12u);
  EXPECT_EQ(textOf(stops[0]), "D:\\caf\u00e9");
  EXPECT_EQ(textOf(stops[5]), "g\u20ac");
  EXPECT_EQ(::GetWindowTextLengthW(stops[7]), static_cast<int>(longLine.size()));
  EXPECT_GT(::SendMessageW(stops[7], EM_GETLIMITTEXT, 0, 0), 100002);
  auto click = [&](const wchar_t* text) {
    HWND button = ::FindWindowExW(window.handle(), nullptr, L"Button", text);
    ::SendMessageW(window.handle(), WM_COMMAND, MAKEWPARAM(::GetDlgCtrlID(button), BN_CLICKED),
                   reinterpret_cast<LPARAM>(button));
  };
  click(L"&Save Settings");
  EXPECT_EQ(platform.shown, std::vector<std::string>{"Horray: Settings successfully saved."});
  EXPECT_EQ(t.read("cp.dat"), bytes);

  ::SetWindowTextW(stops[5], L"\u0142\u00f3d\u017a");  // "\u0142" is not in it
  platform.answers = {false};
  click(L"&Save Settings");
  EXPECT_EQ(platform.shown.back().rfind("Notice: The owner group box holds \"\u0142\", which the "
                                        "settings file's code page 1252 cannot hold.\r\nSave the "
                                        "whole settings file in UTF-8 instead?",
                                        0),
            0u)
      << platform.shown.back();
  EXPECT_EQ(t.read("cp.dat"), bytes) << "never a file of two encodings";
  platform.answers = {true};
  click(L"&Save Settings");
  EXPECT_EQ(platform.shown.back(), "Horray: Settings successfully saved.");
  EXPECT_EQ(t.read("cp.dat"),
            "D:\\caf\u00e9\r\nD:\\n.vfs\r\nD:\\o.vfs\r\n/v\r\nj\u00f6rg\r\n"
            "\u0142\u00f3d\u017a\r\n755\r\n" +
                longLine + "\r\n");

  // Close takes the boxes back into the settings first.
  ::SetWindowTextW(stops[3], L"/w");
  click(L"&Close");
  EXPECT_TRUE(form.closeRequested());
  EXPECT_EQ(state.boxes.VirtualR, "/w");
  EXPECT_EQ(state.boxes.OwnG, "\u0142\u00f3d\u017a");
  EXPECT_EQ(state.boxes.Lines.size(), longLine.size());
}

// Keys typed into the running window, one step a timer tick.
struct Keys {
  static inline HWND window = nullptr;
  static inline int step = 0;
  static inline bool aliveAfterEnterAndEscape = false;

  static void press(std::initializer_list<WORD> keys) {
    std::vector<INPUT> inputs;
    for (WORD key : keys) inputs.push_back({INPUT_KEYBOARD, {.ki = {key, 0, 0, 0, 0}}});
    for (auto it = std::rbegin(keys); it != std::rend(keys); ++it)
      inputs.push_back({INPUT_KEYBOARD, {.ki = {*it, 0, KEYEVENTF_KEYUP, 0, 0}}});
    ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
  }

  static void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD) {
    int now = step++;
    if (now == 0) {
      ::SetForegroundWindow(window);
      press({VK_RETURN});
      press({VK_ESCAPE});
    } else if (now == 2) {
      aliveAfterEnterAndEscape = ::IsWindow(window);
    } else if (now == 200) {
      // The keys never arrived: end the window so that the test fails instead of hanging.
      ::DestroyWindow(window);
    }
    // Again every second, in case the keys went elsewhere while the window came up.
    if (now >= 2 && now % 20 == 2) {
      ::SetForegroundWindow(window);
      press({VK_MENU, 'C'});
    }
  }
};

TEST_F(WinWindowTest, EnterAndEscapeDoNothingAndAltCCloses) {
  Keys::window = window.handle();
  UINT_PTR timer = ::SetTimer(nullptr, 0, 50, Keys::tick);
  EXPECT_EQ(window.run(), 0);
  ::KillTimer(nullptr, timer);
  EXPECT_TRUE(Keys::aliveAfterEnterAndEscape);
  EXPECT_TRUE(form.closeRequested());
}

}  // namespace
}  // namespace kelvane
