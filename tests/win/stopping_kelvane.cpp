// kelvane.exe for the tests that end a build as a kill would: it stops at the step of putting
// its table in place that KELVANE_STOP_AT counts to (1 is the first), sets the event that
// KELVANE_STOP_EVENT names, and waits there to be ended. Made by test builds only.

#include <windows.h>

#include <cwchar>

#include "platform/platform.h"
#include "startup/run_program.h"
#include "win/win_file_system.h"
#include "win/win_processes.h"
#include "win/win_table_journal.h"
#include "window/win/win_messages.h"

namespace {

long stepsLeft = 0;

void stopHere(const char*) {
  if (--stepsLeft != 0) return;
  wchar_t name[128];
  DWORD n = ::GetEnvironmentVariableW(L"KELVANE_STOP_EVENT", name, 128);
  if (n > 0 && n < 128)
    if (HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, name)) ::SetEvent(event);
  ::Sleep(INFINITE);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t count[32];
  DWORD n = ::GetEnvironmentVariableW(L"KELVANE_STOP_AT", count, 32);
  if (n > 0 && n < 32) {
    stepsLeft = std::wcstol(count, nullptr, 10);
    kelvane::win::tableFaultHook = stopHere;
  }
  kelvane::WinMessages messages;
  kelvane::WinFiles files(messages);
  kelvane::WinProcesses processes;
  kelvane::Platform platform{files, processes, messages};
  return kelvane::runProgram(platform, kelvane::argumentTextOf(::GetCommandLineW()));
}
