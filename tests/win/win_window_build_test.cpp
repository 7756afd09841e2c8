// The Build button of the running Win32 window: the build is watched from the system's wait
// thread, the window stays usable while it runs, and only an end with status 0 is complete.

#include <gtest/gtest.h>
#include <windows.h>

#include "tests/win/win_person.h"
#include "tests/win/win_scratch.h"
#include "window/frm_main.h"
#include "window/win/win_window.h"

namespace kelvane::testing {
namespace {

const char* const kComplete = "yay: Building complete";

class WinWindowBuild : public ::testing::Test {
 protected:
  WinWindowBuild() {
    state.boxes.CHMOD = "755";
    state.datPath = t / "s.dat";
    form = std::make_unique<FrmMain>(platform, state);
    window = std::make_unique<WinMainWindow>(*form, platform);
  }
  HWND main() const { return window->handle(); }
  void click(const wchar_t* text) {
    postClick(main(), ::FindWindowExW(main(), nullptr, L"Button", text));
  }
  // A step that waits until the window has said line.
  Step until(const std::string& line) {
    return [this, line] { return !platform.shown.empty() && platform.shown.back() == line; };
  }

  WinScratch t;
  PersonPlatform platform;
  AppState state;
  std::unique_ptr<FrmMain> form;
  std::unique_ptr<WinMainWindow> window;
};

TEST_F(WinWindowBuild, ABuildIsCompleteOnlyOnceItHasEndedWithStatusZero) {
  drive(*window, {
                     [&] {
                       click(L"&Build VFS now!");  // and No to saving first
                       return true;
                     },
                     settle(),
                     [&] {
                       EXPECT_EQ(platform.started, std::vector<std::string>{"?" + t / "s.dat"});
                       click(L"&Save Settings");  // the window answers while the build runs
                       return true;
                     },
                     until("Horray: Settings successfully saved."),
                     settle(),
                     [&] {
                       EXPECT_EQ(platform.shown.size(), 2u) << "nothing is complete yet";
                       ::SetEvent(platform.buildEnd);
                       return true;
                     },
                     until(kComplete),
                 });
  EXPECT_EQ(platform.shown,
            (std::vector<std::string>{"Hmm: Save settings first?",
                                      "Horray: Settings successfully saved.", kComplete}));
}

TEST_F(WinWindowBuild, ABuildThatEndsOtherwiseIsNeverCompleteAndNoFileStartsNone) {
  platform.buildStatus = 139;
  ::SetEvent(platform.buildEnd);
  drive(*window, {
                     [&] {
                       click(L"&Build VFS now!");
                       return true;
                     },
                     [&] { return platform.shown.size() == 2; },
                     [&] {
                       state.datPath.clear();
                       click(L"&Build VFS now!");
                       return true;
                     },
                     [&] { return platform.shown.size() == 4; },
                     settle(),
                 });
  ASSERT_EQ(platform.shown.size(), 4u);
  EXPECT_EQ(platform.shown[1].rfind("Error: A build ended with status 139 before it completed", 0),
            0u)
      << platform.shown[1];
  EXPECT_EQ(platform.shown[3].rfind("Notice: No build started", 0), 0u) << platform.shown[3];
  EXPECT_EQ(platform.started.size(), 1u);
}

}  // namespace
}  // namespace kelvane::testing
