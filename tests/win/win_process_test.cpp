// kelvane.exe run under Wine as a user runs it: a copy in a program folder of its own,
// settings with Z:\ paths, the message boxes answered as a person would.

#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "tests/win/win_scratch.h"
#include "win/win_support.h"

namespace kelvane {
namespace {

using testing::WinScratch;
using Names = std::vector<std::string>;

const char* const kTail = "|anon|users|755|r|0|0|0|0|0|0|0|0\r\n";

struct Outcome {
  DWORD status = 0;
  std::vector<std::string> boxTitles;  // message boxes shown, each answered No (or OK)
};

std::string titleOf(HWND window) {
  wchar_t buffer[256];
  return win::narrow(std::wstring(buffer, ::GetWindowTextW(window, buffer, 256)));
}

struct Search {
  DWORD process;
  const wchar_t* kind;
  HWND found;
};

// A visible top-level window of class kind belonging to process, or nullptr.
HWND windowOf(DWORD process, const wchar_t* kind) {
  Search search{process, kind, nullptr};
  ::EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        DWORD owner = 0;
        ::GetWindowThreadProcessId(window, &owner);
        wchar_t kind[64];
        ::GetClassNameW(window, kind, 64);
        if (owner != s->process || !::IsWindowVisible(window) || wcscmp(kind, s->kind) != 0)
          return TRUE;
        s->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

class KelvaneProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    t.folder("prog");
    ASSERT_TRUE(::CopyFileW(win::wide(testing::wineDrivePath(KELVANE_EXE)).c_str(),
                            win::wide(t / "prog\\kelvane.exe").c_str(), FALSE));
    t.file("old.txt", "/srv/ftp/pub|/pub|anon|users|755|r|0|0|0|0|0|0|0|0\r\n");
    t.file("iso\\debian\\readme.txt", "d");
    t.file("iso\\gentoo\\readme.txt", "g");
  }

  void settings(const std::string& linkRoot) {
    t.file("prog\\example.dat", linkRoot + "\r\n" + t / "vfs.txt" + "\r\n" + t / "old.txt" +
                                    "\r\n/merged\r\nanon\r\nusers\r\n755\r\n" + t / "iso\\" +
                                    "|linux\r\n");
  }

  // Starts kelvane.exe with the argument text; while it runs, every message box it shows is
  // answered No (a box without No takes it as Cancel, that is OK), and whileWindowOpen is
  // called every second its settings window is open.
  Outcome run(const std::string& argumentText, void (*whileWindowOpen)(HWND) = nullptr,
              const wchar_t* desktop = nullptr) {
    Outcome result;
    std::wstring line =
        L"\"" + win::wide(t / "prog\\kelvane.exe") + L"\" " + win::wide(argumentText);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = const_cast<wchar_t*>(desktop);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          win::wide(t.path()).c_str(), &startup, &process)) {
      ADD_FAILURE() << "cannot start kelvane.exe: " << win::errorText(::GetLastError());
      return result;
    }
    for (int tick = 0; ::WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT; ++tick) {
      if (HWND box = windowOf(process.dwProcessId, L"#32770")) {
        result.boxTitles.push_back(titleOf(box));
        ::PostMessageW(box, WM_COMMAND, IDNO, 0);
        ::PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
        ::Sleep(200);
      } else if (whileWindowOpen && tick % 20 == 0) {
        // Once a second, in case the keys went elsewhere while the window was still coming up.
        if (HWND window = windowOf(process.dwProcessId, L"KelvaneMain")) whileWindowOpen(window);
      }
      if (tick > 1200) {
        ADD_FAILURE() << "kelvane.exe did not end within a minute";
        ::TerminateProcess(process.hProcess, 99);
      }
    }
    ::GetExitCodeProcess(process.hProcess, &result.status);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return result;
  }

  std::string table(const std::string& linkRoot) {
    return "/srv/ftp/pub|/pub|anon|users|755|r|0|0|0|0|0|0|0|0\r\n" + linkRoot + "|/merged" +
           kTail + t / "iso\\debian|/merged/linux/debian" + kTail + t / "iso\\gentoo" +
           "|/merged/linux/gentoo" + kTail;
  }

  WinScratch t;
};

TEST_F(KelvaneProcess, WorkedExampleBuildsTheTableAndFolders) {
  settings(t / "links\\");
  Outcome first = run("?" + t / "prog\\example.dat");
  EXPECT_EQ(first.status, 0u);
  EXPECT_EQ(first.boxTitles, Names{});
  EXPECT_EQ(t.read("vfs.txt"), table(t / "links"));
  EXPECT_EQ(t.tree("links"), (Names{"linux\\", "linux\\debian\\", "linux\\gentoo\\"}));

  // Built again over a link root holding more than the layout: only the layout stays, and
  // the lock in it that builds of the link root now take turns on.
  t.file("links\\linux\\stale.txt", "x");
  t.folder("links\\old\\deeper");
  Outcome second = run("?example.dat");
  EXPECT_EQ(second.status, 0u);
  EXPECT_EQ(t.read("vfs.txt"), table(t / "links"));
  EXPECT_EQ(t.tree("links"),
            (Names{".kelvane.lock", "linux\\", "linux\\debian\\", "linux\\gentoo\\"}));
}

TEST_F(KelvaneProcess, LinkRootHoldingTheSourcesIsRefusedWithAReport) {
  settings(t.path());
  t.file("vfs.txt", "before\r\n");
  Outcome refused = run("?" + t / "prog\\example.dat");
  EXPECT_EQ(refused.status, 1u);
  EXPECT_EQ(refused.boxTitles, Names{"Error"});
  EXPECT_EQ(t.read("vfs.txt"), "before\r\n");
  EXPECT_EQ(t.read("iso\\debian\\readme.txt"), "d");
  std::string report = t.read("prog\\kelvaneerrors.txt");
  EXPECT_NE(report.find("Error description : Refused to build"), std::string::npos) << report;
  EXPECT_NE(report.find("Datfile        : " + t / "prog\\example.dat\r\n"), std::string::npos);
  EXPECT_NE(report.find("Working folder : " + t / "prog\r\n"), std::string::npos);
}

TEST_F(KelvaneProcess, WithoutAnInteractiveDesktopFailuresGoToStandardErrorNotABox) {
  // A window station of its own, as a service or a task run without a logged-on user has.
  HWINSTA own = ::GetProcessWindowStation();
  HWINSTA station = ::CreateWindowStationW(L"KelvaneTest", 0, WINSTA_ALL_ACCESS, nullptr);
  ASSERT_NE(station, nullptr);
  ::SetProcessWindowStation(station);
  HDESK desk = ::CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  ::SetProcessWindowStation(own);
  ASSERT_NE(desk, nullptr);
  Outcome missing = run("?" + t / "prog\\missing.dat", nullptr, L"KelvaneTest\\Default");
  EXPECT_EQ(missing.status, 1u);
  EXPECT_NE(t.read("prog\\kelvaneerrors.txt").find("Loading dat file"), std::string::npos);
  settings(t / "links\\");
  Outcome window = run(t / "prog\\example.dat", nullptr, L"KelvaneTest\\Default");
  EXPECT_EQ(window.status, 2u);
  ::CloseDesktop(desk);
  ::CloseWindowStation(station);
}

// A settings file saved in the code page (not UTF-8): its accented source is found, and the
// new entries are written in the code page like the file, without a name it cannot hold.
TEST_F(KelvaneProcess, SettingsInTheCodePageGiveEntriesInTheCodePage) {
  t.folder("iso\\Caf\xc3\xa9\\lied");
  t.folder("iso\\Caf\xc3\xa9\\\xe6\x97\xa5");  // a CJK name code page 1252 lacks
  t.file("prog\\example.dat", t / "links" + "\r\n" + t / "vfs.txt" + "\r\n" + t / "old.txt" +
                                  "\r\n/merged\r\nanon\r\nusers\r\n755\r\n" + t / "iso\\Caf\xe9\\" +
                                  "|Caf\xe9\r\n");
  Outcome built = run("?" + t / "prog\\example.dat");
  EXPECT_EQ(built.status, 0u);
  EXPECT_EQ(t.read("vfs.txt"), "/srv/ftp/pub|/pub|anon|users|755|r|0|0|0|0|0|0|0|0\r\n" +
                                   t / "links|/merged" + kTail + t / "iso\\Caf\xe9\\lied" +
                                   "|/merged/Caf\xe9/lied" + kTail);
  EXPECT_EQ(t.tree("links"), (Names{"Caf\xc3\xa9\\", "Caf\xc3\xa9\\lied\\"}));
}

HWND shownWindow = nullptr;
std::string shownCaption;

TEST_F(KelvaneProcess, WindowShowsTheSettingsAndAltCEndsItWithStatusZero) {
  settings(t / "links\\");
  Outcome window = run(t / "prog\\example.dat", [](HWND main) {
    shownWindow = main;
    shownCaption = titleOf(main);
    ::SetForegroundWindow(main);
    INPUT keys[4] = {};
    WORD codes[4] = {VK_MENU, 'C', 'C', VK_MENU};
    for (int i = 0; i < 4; ++i) {
      keys[i].type = INPUT_KEYBOARD;
      keys[i].ki.wVk = codes[i];
      keys[i].ki.dwFlags = i < 2 ? 0 : KEYEVENTF_KEYUP;
    }
    ::SendInput(4, keys, sizeof(INPUT));
  });
  EXPECT_NE(shownWindow, nullptr);
  EXPECT_EQ(shownCaption, "Kelvane v1.1 by Oduvin [example.dat]");
  EXPECT_EQ(window.status, 0u);
  EXPECT_EQ(window.boxTitles, Names{});
  EXPECT_EQ(t.tree("links"), Names{});
}

}  // namespace
}  // namespace kelvane
