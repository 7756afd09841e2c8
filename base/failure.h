#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace kelvane {

// Failure numbers of the program's own, for failures that have no system error number.
// They keep the numbers a user of the original Windows tool would recognise.
inline constexpr int kErrOverflow = 6;       // a number too large for its type
inline constexpr int kErrOutOfMemory = 7;    // the program ran out of memory
inline constexpr int kErrTypeMismatch = 13;  // a field that should hold a number does not
inline constexpr int kErrInternal = 51;      // a fault of the program itself
inline constexpr int kErrInputPastEnd = 62;  // a file ended before a value it must hold
inline constexpr int kErrRefused = 75;       // a setting the build refuses to act on
inline constexpr int kErrLockHeld = 70;      // another build still holds what this one needs

// A step of start-up or of a build: what the program is doing, and what the user should
// check if it fails. The error report prints both.
struct RunStep {
  std::string action;
  std::string fix;
};

// What went wrong, on which path, which operation raised it, in which step, and what the user
// should check. Every failure of start-up or of a build run travels as one of these to the
// single catch that writes the error report. A failure learns its step from the step it
// leaves (inStep below); one that knows better than its step what the user should do carries
// its own fix from where it is raised.
class Failure : public std::runtime_error {
 public:
  Failure(int number, std::string description, std::string source, std::string fix = "")
      : std::runtime_error(description),
        number_(number),
        description_(std::move(description)),
        source_(std::move(source)),
        fix_(std::move(fix)) {}

  int number() const { return number_; }
  const std::string& description() const { return description_; }
  const std::string& source() const { return source_; }
  // The step's action; empty while the failure has left no step yet.
  const std::string& action() const { return action_; }
  const std::string& fix() const { return fix_; }

  // The failure happened in step, unless a step inside it already said so; the step's fix
  // stands in for a fix of the failure's own only where it has none.
  void takeStep(const RunStep& step);

 private:
  int number_;
  std::string description_;
  std::string source_;
  std::string action_;
  std::string fix_;
};

// A failure from a system call: errno, its text and the path it was about.
Failure systemFailure(int err, const std::string& what, const std::string& path,
                      const std::string& source);

// What an exception that is no Failure stands for: out of memory, or a fault of the program.
Failure failureFrom(const std::exception& error);

// Called in a catch block: rethrows the exception being handled, a Failure that knows its
// step (any other exception turned into one first).
[[noreturn]] void rethrowInStep(const RunStep& step);

// Runs work as step: whatever fails in it is reported as failing in this step (or in a step
// inside work that names itself).
template <class Work>
decltype(auto) inStep(const RunStep& step, Work&& work) {
  try {
    return std::forward<Work>(work)();
  } catch (...) {
    rethrowInStep(step);
  }
}

}  // namespace kelvane
