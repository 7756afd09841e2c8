#include "tests/win/win_person.h"

#include <gtest/gtest.h>

#include "win/win_support.h"
#include "window/win/win_window.h"

namespace kelvane::testing {

void PersonPlatform::message(const std::string& title, const std::string& text, Icon icon) {
  shown.push_back(title + ": " + text);
  if (whileShown) whileShown();
  if (realBoxes) WinMessages::message(title, text, icon);
}

bool PersonPlatform::question(const std::string& title, const std::string& text, Icon icon) {
  shown.push_back(title + ": " + text);
  if (whileShown) whileShown();
  if (realBoxes) return WinMessages::question(title, text, icon);
  if (answers.empty()) return false;
  bool answer = answers.front();
  answers.erase(answers.begin());
  return answer;
}

std::string PersonPlatform::saveDialog(const std::string& title, const std::string& filter,
                                       const std::string& initialFolder) {
  shown.push_back("dialog: " + title);
  if (realBoxes) return WinMessages::saveDialog(title, filter, initialFolder);
  if (saveChoices.empty()) return {};
  std::string choice = saveChoices.front();
  saveChoices.erase(saveChoices.begin());
  return choice;
}

PersonPlatform::PersonPlatform() : buildEnd(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

PersonPlatform::~PersonPlatform() { ::CloseHandle(buildEnd); }

void PersonPlatform::startDetached(const std::string&, const std::vector<std::string>& args) {
  started.push_back(args.empty() ? "" : args[0]);
}

namespace {

// A build that ends when the test sets the person's event.
class PlayedBuild : public WatchedProcess {
 public:
  explicit PlayedBuild(PersonPlatform& person) : person_(person) {}
  std::optional<int> exitStatus() override {
    if (::WaitForSingleObject(person_.buildEnd, 0) != WAIT_OBJECT_0) return std::nullopt;
    return person_.buildStatus;
  }
  std::intptr_t endHandle() const override {
    return reinterpret_cast<std::intptr_t>(person_.buildEnd);
  }

 private:
  PersonPlatform& person_;
};

}  // namespace

std::unique_ptr<WatchedProcess> PersonPlatform::startWatched(const std::string&,
                                                             const std::vector<std::string>& args) {
  started.push_back(args.empty() ? "" : args[0]);
  return std::make_unique<PlayedBuild>(*this);
}

namespace {

struct PersonDrive {
  std::vector<Step> steps;
  size_t next = 0;
  HWND window = nullptr;
  ULONGLONG deadline = 0;
  bool busy = false;
  bool timedOut = false;
};
PersonDrive* driving = nullptr;

BOOL CALLBACK cancelDialog(HWND window, LPARAM) {
  wchar_t kind[16];
  if (::GetClassNameW(window, kind, 16) && std::wstring(kind) == L"#32770")
    ::PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
  return TRUE;
}

void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD) {
  PersonDrive& d = *driving;
  if (d.busy || !::IsWindow(d.window)) return;
  d.busy = true;
  if (d.next < d.steps.size() && ::GetTickCount64() < d.deadline) {
    if (d.steps[d.next]()) ++d.next;
  } else {
    if (d.next < d.steps.size() && !d.timedOut) {
      d.timedOut = true;
      ::EnumThreadWindows(::GetCurrentThreadId(), cancelDialog, 0);
    }
    ::PostMessageW(d.window, WM_CLOSE, 0, 0);
  }
  d.busy = false;
}

}  // namespace

void drive(WinMainWindow& window, std::vector<Step> steps) {
  PersonDrive d;
  d.steps = std::move(steps);
  d.window = window.handle();
  d.deadline = ::GetTickCount64() + 60000;
  driving = &d;
  UINT_PTR timer = ::SetTimer(nullptr, 0, 30, tick);
  window.run();
  ::KillTimer(nullptr, timer);
  driving = nullptr;
  EXPECT_FALSE(d.timedOut) << "step " << d.next << " was not done within a minute";
  EXPECT_EQ(d.next, d.steps.size()) << "the window ended before step " << d.next;
}

Step settle(int ticks) {
  return
      [ticks, n = 0]() mutable { return ++n > ticks && HIWORD(::GetQueueStatus(QS_INPUT)) == 0; };
}

void press(std::initializer_list<WORD> keys) {
  std::vector<INPUT> inputs;
  for (WORD key : keys) inputs.push_back({INPUT_KEYBOARD, {.ki = {key, 0, 0, 0, 0}}});
  for (auto it = std::rbegin(keys); it != std::rend(keys); ++it)
    inputs.push_back({INPUT_KEYBOARD, {.ki = {*it, 0, KEYEVENTF_KEYUP, 0, 0}}});
  ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

void postClick(HWND window, HWND button) {
  ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(::GetDlgCtrlID(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
}

std::string textOf(HWND window) {
  std::wstring text(static_cast<size_t>(::GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(
      static_cast<size_t>(::GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return win::narrow(text);
}

namespace {

struct DialogSearch {
  std::string title;
  HWND found = nullptr;
};

BOOL CALLBACK findDialog(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<DialogSearch*>(data);
  wchar_t kind[16];
  if (::IsWindowVisible(window) && ::GetClassNameW(window, kind, 16) &&
      std::wstring(kind) == L"#32770" &&
      (search->title.empty() || textOf(window) == search->title)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK addStatic(HWND control, LPARAM data) {
  wchar_t kind[16];
  std::string text = textOf(control);
  if (::GetClassNameW(control, kind, 16) && std::wstring(kind) == L"Static" && !text.empty())
    *reinterpret_cast<std::string*>(data) += text + " ";
  return TRUE;
}

}  // namespace

HWND shownDialog(const std::string& title) {
  DialogSearch search{title};
  ::EnumThreadWindows(::GetCurrentThreadId(), findDialog, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::string boxText(HWND box) {
  std::string text;
  ::EnumChildWindows(box, addStatic, reinterpret_cast<LPARAM>(&text));
  return text;
}

std::vector<HWND> tabStops(HWND window) {
  std::vector<HWND> stops;
  HWND first = ::GetNextDlgTabItem(window, nullptr, FALSE);
  for (HWND at = first; at; at = ::GetNextDlgTabItem(window, at, FALSE)) {
    if (!stops.empty() && at == first) break;
    stops.push_back(at);
  }
  return stops;
}

}  // namespace kelvane::testing
