#pragma once

#include <string>
#include <vector>

namespace kelvane::testing {

struct ProcessResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs program with args in folder, with no display, standard input closed and a 60-second
// alarm so that a program waiting for a person fails the test instead of hanging it.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& folder);

// Copies the built kelvane into folder (its program folder) and returns the copy's path.
std::string installKelvaneCopy(const std::string& folder);

}  // namespace kelvane::testing
