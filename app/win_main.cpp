#include <windows.h>

#include "platform/platform.h"
#include "startup/run_program.h"
#include "win/win_file_system.h"
#include "win/win_processes.h"
#include "win/win_watches.h"
#include "window/win/win_messages.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  kelvane::WinMessages messages;
  kelvane::WinFiles files(messages);
  kelvane::WinProcesses processes;
  kelvane::Platform platform{files, processes, messages};
  // The argument text is the command line after the program's name, as typed.
  return kelvane::runProgram(platform, kelvane::argumentTextOf(::GetCommandLineW()),
                             kelvane::openWinWatches);
}
