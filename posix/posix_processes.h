#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/processes.h"

namespace kelvane {

// The running Linux program and the processes it starts.
class PosixProcesses : public Processes {
 public:
  std::string textEditor() const override { return "xdg-open"; }
  std::string programFolder() override;
  std::string executablePath() override;
  void startDetached(const std::string& program, const std::vector<std::string>& args) override;
  std::unique_ptr<WatchedProcess> startWatched(const std::string& program,
                                               const std::vector<std::string>& args) override;
};

}  // namespace kelvane
