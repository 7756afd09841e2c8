#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/processes.h"
#include "tests/support/faults.h"

namespace kelvane::testing {

// The system's processes, with every start recorded (and counted as Op::Start), and run
// only when the test asks; the program's own place can be played as told.
class RecordedProcesses : public Processes {
 public:
  struct Started {
    std::string program;
    std::vector<std::string> args;
  };
  RecordedProcesses(Processes& real, Faults& faults) : real_(real), faults_(faults) {}

  std::vector<Started> started;
  bool runStarted = false;        // really start the recorded processes
  int endedStatus = 0;            // what a watched process not really started ended with
  std::function<void()> onStart;  // what a watched process not really started does
  std::string programFolderOverride;
  std::string executableOverride;

  std::string textEditor() const override { return real_.textEditor(); }
  std::string programFolder() override;
  std::string executablePath() override;
  void startDetached(const std::string& program, const std::vector<std::string>& args) override;
  std::unique_ptr<WatchedProcess> startWatched(const std::string& program,
                                               const std::vector<std::string>& args) override;

 private:
  Processes& real_;
  Faults& faults_;
};

}  // namespace kelvane::testing
