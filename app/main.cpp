#include <csignal>
#include <string>

#include "app/desktop_platform.h"
#include "startup/run_program.h"

int main(int argc, char** argv) {
  // A write past a file size limit is then an error the build handles, like a full disk,
  // rather than a signal that kills it halfway through the table.
  std::signal(SIGXFSZ, SIG_IGN);
  // The argument text is the arguments joined with single blanks, as given.
  std::string argumentText;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) argumentText += ' ';
    argumentText += argv[i];
  }
  auto platform = kelvane::makeDesktopPlatform(argc, argv);
  return kelvane::runProgram(*platform, argumentText);
}
