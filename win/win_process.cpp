// The running executable, its command line, and the processes it starts.

#include <vector>

#include "win/win_processes.h"
#include "win/win_support.h"

namespace kelvane {

using namespace win;

std::string argumentTextOf(const std::wstring& commandLine) {
  // The program's name is quoted, or ends at the first blank or tab.
  size_t at = 0;
  if (!commandLine.empty() && commandLine[0] == L'"') {
    at = commandLine.find(L'"', 1);
    at = at == std::wstring::npos ? commandLine.size() : at + 1;
  } else {
    at = std::min(commandLine.find_first_of(L" \t"), commandLine.size());
  }
  at = std::min(commandLine.find_first_not_of(L" \t", at), commandLine.size());
  return narrow(std::wstring_view(commandLine).substr(at));
}

std::string WinProcesses::executablePath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0)
      throw lastErrorFailure("Cannot find the program's executable", "kelvane.exe",
                             "GetModuleFileNameW");
    if (n < buffer.size()) return narrow(std::wstring_view(buffer.data(), n));
    buffer.resize(buffer.size() * 2);
  }
}

std::string WinProcesses::programFolder() {
  std::wstring folder = parentText(wide(executablePath()));
  return narrow(folder);
}

std::string commandLineOf(const std::string& program, const std::vector<std::string>& args) {
  std::string line = program.find(' ') == std::string::npos ? program : "\"" + program + "\"";
  for (const std::string& arg : args) line += " " + arg;
  return line;
}

namespace {

// Starts program with args, the program itself hidden and any other in a normal window.
PROCESS_INFORMATION startProcess(WinProcesses& processes, const std::string& program,
                                 const std::vector<std::string>& args) {
  bool self = program == processes.executablePath();
  std::wstring commandLine = widePath(commandLineOf(program, args), "start process");
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = self ? SW_HIDE : SW_SHOWNORMAL;
  PROCESS_INFORMATION started{};
  // The program itself is named apart from its command line, so that a blank in its folder
  // cannot make the system run another program.
  std::wstring application = self ? wide(program) : std::wstring();
  if (!::CreateProcessW(self ? application.c_str() : nullptr, commandLine.data(), nullptr, nullptr,
                        FALSE, CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &started))
    throw lastErrorFailure("Cannot start", program, "start process");
  ::CloseHandle(started.hThread);
  return started;
}

class WinWatchedProcess : public WatchedProcess {
 public:
  explicit WinWatchedProcess(HANDLE process) : process_(process) {}
  ~WinWatchedProcess() override { ::CloseHandle(process_); }

  std::optional<int> exitStatus() override {
    DWORD code = 0;
    if (::WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) return std::nullopt;
    if (!::GetExitCodeProcess(process_, &code)) return -1;
    return static_cast<int>(code);
  }
  std::intptr_t endHandle() const override { return reinterpret_cast<std::intptr_t>(process_); }

 private:
  HANDLE process_;
};

}  // namespace

void WinProcesses::startDetached(const std::string& program, const std::vector<std::string>& args) {
  ::CloseHandle(startProcess(*this, program, args).hProcess);
}

std::unique_ptr<WatchedProcess> WinProcesses::startWatched(const std::string& program,
                                                           const std::vector<std::string>& args) {
  return std::make_unique<WinWatchedProcess>(startProcess(*this, program, args).hProcess);
}

}  // namespace kelvane
