// Enter and Escape typed into every control of the running Win32 window: nothing is
// pressed, nothing closes, and Enter starts a line in the merge-source box only.

#include <gtest/gtest.h>
#include <windows.h>

#include "tests/win/win_person.h"
#include "window/frm_main.h"
#include "window/win/win_window.h"

namespace kelvane::testing {
namespace {

TEST(WinWindowKeys, EnterAndEscapeDoNothingInAnyControlButStartLinesInTheMergeBox) {
  PersonPlatform platform;
  AppState state;
  FrmMain form(platform, state);
  WinMainWindow window(form, platform);
  HWND main = window.handle();
  std::vector<HWND> stops = tabStops(main);
  ASSERT_EQ(stops.size(), 12u);
  HWND lines = stops[7];
  std::vector<std::string> before;
  for (HWND stop : stops) before.push_back(textOf(stop));

  std::vector<Step> steps;
  // The keys reach the window: Enter starts a line in the merge-source box (typed again
  // every second, in case the first went elsewhere while the window came up).
  steps.push_back([main, lines, n = 0]() mutable {
    if (textOf(lines) == "\r\n") return true;
    if (n++ % 30 == 0) {
      ::SetForegroundWindow(main);
      ::SetFocus(lines);
      press({VK_RETURN});
    }
    return false;
  });
  for (size_t i = 0; i < stops.size(); ++i) {
    HWND control = stops[i];
    steps.push_back([main, control] {
      ::SetForegroundWindow(main);
      ::SetFocus(control);
      press({VK_RETURN});
      press({VK_ESCAPE});
      return true;
    });
    steps.push_back(settle());
    steps.push_back([&, main, control, i] {
      SCOPED_TRACE("tab stop " + std::to_string(i) + " " + before[i]);
      EXPECT_TRUE(::IsWindowVisible(main));
      EXPECT_EQ(::GetFocus(), control);
      EXPECT_EQ(platform.shown, std::vector<std::string>{});
      EXPECT_FALSE(form.closeRequested());
      return true;
    });
  }
  steps.push_back([&] {
    for (size_t i = 0; i < stops.size(); ++i) {
      if (stops[i] != lines) {
        EXPECT_EQ(textOf(stops[i]), before[i]) << "tab stop " << i;
      }
    }
    EXPECT_EQ(textOf(lines), "\r\n\r\n") << "one line for each Enter, nothing for Escape";
    return true;
  });
  drive(window, steps);
  EXPECT_EQ(platform.started, std::vector<std::string>{});
}

// The edit control keeps its scroll position when text is taken away: a mode box cut back to
// what fits shows it from its start, and one that does not fit keeps showing its caret.
TEST(WinWindowKeys, ABoxCutBackToWhatFitsShowsItsStart) {
  PersonPlatform platform;
  AppState state;
  FrmMain form(platform, state);
  WinMainWindow window(form, platform);
  ::ShowWindow(window.handle(), SW_SHOWNORMAL);
  HWND mode = tabStops(window.handle())[6];
  ::SetFocus(mode);
  ::SetWindowTextW(mode, L"");
  auto type = [&](const std::wstring& keys) {
    for (wchar_t key : keys) ::SendMessageW(mode, WM_CHAR, key, 0);
  };
  auto firstShown = [&] { return ::SendMessageW(mode, EM_GETFIRSTVISIBLELINE, 0, 0); };
  type(L"755A7B12345678");
  ASSERT_GT(firstShown(), 0) << "a text wider than the box is scrolled to its caret";
  type(std::wstring(5, L'\b'));
  EXPECT_GT(firstShown(), 0) << "still wider than the box: the caret stays in sight";
  type(std::wstring(6, L'\b'));
  EXPECT_EQ(textOf(mode), "755");
  EXPECT_EQ(firstShown(), 0) << "755 fits: it is shown from its start";
}

}  // namespace
}  // namespace kelvane::testing
