#include "tests/support/test_platform.h"

#include "base/failure.h"
#ifdef _WIN32
#include "win/win_file_system.h"
#include "win/win_processes.h"
#include "window/win/win_messages.h"
#else
#include "posix/console_messages.h"
#include "posix/posix_file_system.h"
#include "posix/posix_processes.h"
#endif

namespace kelvane::testing {
namespace {

// The system's files, but for the user's state folder, which is the test's: the system's
// files ask for it themselves (for a table's journal), so it is played where they ask.
template <class SystemFiles>
class FilesWithStateFolder : public SystemFiles {
 public:
  FilesWithStateFolder(Messages& warnings, const std::string& folder)
      : SystemFiles(warnings), folder_(folder) {}
  std::string userStateFolder() override {
    if (folder_.empty()) throw Failure(ENOENT, "No state folder in this test", "userStateFolder");
    return folder_;
  }

 private:
  const std::string& folder_;
};

#ifdef _WIN32
using SystemMessages = WinMessages;  // standard error without an interactive desktop
using SystemFiles = WinFiles;
using SystemProcesses = WinProcesses;
#else
using SystemMessages = ConsoleMessages;
using SystemFiles = PosixFiles;
using SystemProcesses = PosixProcesses;
#endif

}  // namespace

SystemParts::SystemParts()
    : ownConsole(std::make_unique<SystemMessages>()),
      ownFiles(std::make_unique<SystemFiles>(*ownConsole)),
      ownProcesses(std::make_unique<SystemProcesses>()) {}

Files& systemFiles() {
  static SystemPlatform system;
  return system.files;
}

TestPlatform::TestPlatform()
    : systemFiles_(std::make_unique<FilesWithStateFolder<SystemFiles>>(messages, stateFolder)),
      systemProcesses_(std::make_unique<SystemProcesses>()),
      files(*systemFiles_, faults),
      processes(*systemProcesses_, faults),
      platform_{files, processes, messages} {}

}  // namespace kelvane::testing
