#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kelvane::testing {

struct ProcessResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Variables set for the program on top of the test's own environment, "name", "value" each.
using Environment = std::vector<std::pair<std::string, std::string>>;

// Runs program with args in folder, with no display (unless environment names one),
// standard input closed and a 60-second alarm so that a program waiting for a person fails
// the test instead of hanging it; as the account uid (its group the same number) when one
// is given, which needs root.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& folder, const Environment& environment = {},
                         int uid = -1);

// Copies the built kelvane into folder (its program folder) and returns the copy's path.
std::string installKelvaneCopy(const std::string& folder);

}  // namespace kelvane::testing
