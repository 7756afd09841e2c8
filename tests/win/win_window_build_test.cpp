// The Build button of the running Win32 window: the build is watched from the system's wait
// thread, the window stays usable while it runs, and only an end with status 0 is complete.

#include <gtest/gtest.h>
#include <windows.h>

#include <iterator>
#include <string>
#include <utility>
#include <vector>

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
            (std::vector<std::string>{
                "Hmm: Save settings first?\r\nThe build reads \"" + t / "s.dat" + "\".",
                "Horray: Settings successfully saved.", kComplete}));
}

TEST_F(WinWindowBuild, ABuildThatEndsOtherwiseIsNeverCompleteAndNoFileStartsNone) {
  // Every end but status 0 is said with what it means, status 1 with no new report too.
  const std::pair<int, std::string> ends[] = {
      {1, "it was ended from outside, and wrote no error report"},
      {-1, "the system no longer knows how it ended"},
      {-1073741819, "it crashed (exception 0xC0000005)"},
      {139, "it did not say why"},
  };
  const size_t n = std::size(ends);
  ::SetEvent(platform.buildEnd);  // each build ends as it starts
  std::vector<Step> steps;
  for (size_t i = 0; i < n; ++i) {
    steps.push_back([&, i] {
      platform.buildStatus = ends[i].first;
      click(L"&Build VFS now!");  // and No to saving first
      return true;
    });
    steps.push_back([&, i] { return platform.shown.size() == 2 * (i + 1); });
  }
  steps.push_back([&] {
    state.datPath.clear();
    click(L"&Build VFS now!");
    return true;
  });
  steps.push_back([&] { return platform.shown.size() == 2 * n + 2; });
  steps.push_back(settle());
  drive(*window, steps);
  ASSERT_EQ(platform.shown.size(), 2 * n + 2);
  for (size_t i = 0; i < n; ++i) {
    std::string said = "Error: A build of \"" + t / "s.dat" + "\" ended with status " +
                       std::to_string(ends[i].first) + " before it completed: " + ends[i].second +
                       ".\r\nThe VFS table and the mirror folders may not be up to date.";
    EXPECT_EQ(platform.shown[2 * i + 1].rfind(said, 0), 0u) << platform.shown[2 * i + 1];
  }
  EXPECT_EQ(platform.shown[2 * n + 1].rfind("Notice: No build started", 0), 0u)
      << platform.shown.back();
  EXPECT_EQ(platform.started.size(), n);
}

}  // namespace
}  // namespace kelvane::testing
