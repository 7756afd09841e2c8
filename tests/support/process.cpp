#include "tests/support/process.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "tests/support/temp_folder.h"

namespace kelvane::testing {

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& folder, const Environment& environment, int uid) {
  TempFolder streams;
  std::string outPath = streams / "out", errPath = streams / "err";
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  // Made before the fork: the window tests fork a process with threads, whose child may only
  // call what is safe in a signal handler.
  std::vector<std::string> variables;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    std::string_view entry(*variable);
    std::string_view name = entry.substr(0, entry.find('='));
    if (name == "DISPLAY" || name == "WAYLAND_DISPLAY") continue;
    bool overridden = false;
    for (const auto& given : environment) overridden = overridden || given.first == name;
    if (!overridden) variables.emplace_back(entry);
  }
  for (const auto& [name, value] : environment) variables.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);

  pid_t child = ::fork();
  if (child == 0) {
    int in = ::open("/dev/null", O_RDONLY);
    int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || ::chdir(folder.c_str()) != 0) ::_exit(125);
    if (uid >= 0 && (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(uid)) != 0 ||
                     ::setuid(static_cast<uid_t>(uid)) != 0))
      ::_exit(124);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::alarm(60);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(126);
  }
  ProcessResult result;
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) {
    ADD_FAILURE() << "cannot run " << program;
    return result;
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = readBytes(outPath);
  result.err = readBytes(errPath);
  return result;
}

std::string installKelvaneCopy(const std::string& folder) {
  makeFolders(folder);
  std::string copy = folder + "/kelvane";
  std::error_code error;
  std::filesystem::copy_file(KELVANE_EXE, copy, std::filesystem::copy_options::overwrite_existing,
                             error);
  if (error) ADD_FAILURE() << "cannot copy " << KELVANE_EXE << ": " << error.message();
  return copy;
}

}  // namespace kelvane::testing
