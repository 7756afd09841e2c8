#include <csignal>
#include <string>

#include "platform/platform.h"
#include "posix/posix_file_system.h"
#include "posix/posix_processes.h"
#include "posix/posix_watches.h"
#include "startup/run_program.h"
#include "window/qt/qt_messages.h"

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
  // Qt starts only when something is to be shown, so a build run never needs a display.
  kelvane::QtMessages messages(argc > 0 ? argv[0] : nullptr);
  kelvane::PosixFiles files(messages);
  kelvane::PosixProcesses processes;
  kelvane::Platform platform{files, processes, messages};
  return kelvane::runProgram(platform, argumentText, kelvane::openPosixWatches);
}
