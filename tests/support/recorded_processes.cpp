#include "tests/support/recorded_processes.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <stdexcept>

namespace kelvane::testing {

std::string RecordedProcesses::programFolder() {
  return programFolderOverride.empty() ? real_.programFolder() : programFolderOverride;
}
std::string RecordedProcesses::executablePath() {
  return executableOverride.empty() ? real_.executablePath() : executableOverride;
}
void RecordedProcesses::startDetached(const std::string& program,
                                      const std::vector<std::string>& args) {
  faults_.check(Op::Start, program);
  started.push_back({program, args});
  if (runStarted) real_.startDetached(program, args);
}
namespace {

// A process that has ended already: its end handle is ready at once (on Linux a pipe whose
// writing end is closed, on Windows an event that is set).
class EndedProcess : public WatchedProcess {
 public:
#ifdef _WIN32
  explicit EndedProcess(int status)
      : status_(status),
        end_(reinterpret_cast<std::intptr_t>(::CreateEventW(nullptr, TRUE, TRUE, nullptr))) {}
  ~EndedProcess() override { ::CloseHandle(reinterpret_cast<HANDLE>(end_)); }
#else
  explicit EndedProcess(int status) : status_(status) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    ::close(ends[1]);
    end_ = ends[0];
  }
  ~EndedProcess() override { ::close(static_cast<int>(end_)); }
#endif
  std::optional<int> exitStatus() override { return status_; }
  std::intptr_t endHandle() const override { return end_; }

 private:
  int status_;
  std::intptr_t end_ = -1;
};

}  // namespace

std::unique_ptr<WatchedProcess> RecordedProcesses::startWatched(
    const std::string& program, const std::vector<std::string>& args) {
  faults_.check(Op::Start, program);
  started.push_back({program, args});
  if (runStarted) return real_.startWatched(program, args);
  if (onStart) onStart();
  return std::make_unique<EndedProcess>(endedStatus);
}
}  // namespace kelvane::testing
