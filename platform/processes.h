#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvane {

// A process started by startWatched. Nothing waits for it: the window's event loop waits on
// endHandle(), which the system signals when the process ends (on Linux a descriptor that
// becomes readable, a pidfd; on Windows the process handle), then reads exitStatus().
class WatchedProcess {
 public:
  virtual ~WatchedProcess() = default;
  // The exit status once the process has ended (128 + N for a Linux process ended by
  // signal N, -1 when the system no longer knows it); nullopt while it runs. Never waits.
  virtual std::optional<int> exitStatus() = 0;
  virtual std::intptr_t endHandle() const = 0;
};

// The running program and the processes it starts. Failures are thrown as kelvane::Failure.
class Processes {
 public:
  virtual ~Processes() = default;

  // The program that opens a text file given as its only argument for the user to read:
  // "xdg-open" on Linux, "notepad.exe" on Windows.
  virtual std::string textEditor() const = 0;
  // The folder of the running executable, without a trailing separator (except at a root).
  virtual std::string programFolder() = 0;
  virtual std::string executablePath() = 0;
  // Starts program (looked up in PATH when it has no separator) with args in a new process
  // that is not waited for, its standard streams on /dev/null.
  virtual void startDetached(const std::string& program, const std::vector<std::string>& args) = 0;
  // Starts program as startDetached does, as this process's own child, so that the window
  // can tell when it ends and how. Fails when it cannot be started (nothing then runs), or,
  // on a Linux without pidfds, cannot be watched (it then runs unwatched, as the failure says).
  virtual std::unique_ptr<WatchedProcess> startWatched(const std::string& program,
                                                       const std::vector<std::string>& args) = 0;
};

}  // namespace kelvane
