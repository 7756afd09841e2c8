#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/processes.h"

namespace kelvane {

// The running Windows program and the processes it starts.
class WinProcesses : public Processes {
 public:
  std::string textEditor() const override { return "notepad.exe"; }
  std::string programFolder() override;
  std::string executablePath() override;
  // The command line is program (quoted when it holds a blank) and args joined with single
  // blanks, unquoted, as the program's own argument text takes it whole. The program itself
  // starts hidden; any other program (the report's viewer) in a normal window.
  void startDetached(const std::string& program, const std::vector<std::string>& args) override;
  std::unique_ptr<WatchedProcess> startWatched(const std::string& program,
                                               const std::vector<std::string>& args) override;
};

// The argument text: the process's command line after the program's name and the blanks
// that follow it, as the system gives it.
std::string argumentTextOf(const std::wstring& commandLine);

// The command line startDetached hands the system for program and args.
std::string commandLineOf(const std::string& program, const std::vector<std::string>& args);

}  // namespace kelvane
