#include <windows.h>

#include "win/win_platform.h"
#include "startup/run_program.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  kelvane::WinPlatform platform;
  // The argument text is the command line after the program's name, as typed.
  return kelvane::runProgram(platform, kelvane::argumentTextOf(::GetCommandLineW()));
}
