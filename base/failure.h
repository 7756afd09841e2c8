#pragma once

#include <stdexcept>
#include <string>

namespace kelvane {

// Failure numbers of the program's own, for failures that have no system error number.
// They keep the numbers a user of the original Windows tool would recognise.
inline constexpr int kErrOverflow = 6;       // a number too large for its type
inline constexpr int kErrTypeMismatch = 13;  // a field that should hold a number does not
inline constexpr int kErrInputPastEnd = 62;  // a file ended before a value it must hold
inline constexpr int kErrRefused = 75;       // a setting the build refuses to act on
inline constexpr int kErrLockHeld = 70;      // another build still holds what this one needs

// What went wrong, on which path, and which operation raised it. Every failure of start-up
// or of a build run travels as one of these to the single catch that writes the error report.
// A failure that knows better than its step what the user should do carries its own fix.
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
  const std::string& fix() const { return fix_; }

 private:
  int number_;
  std::string description_;
  std::string source_;
  std::string fix_;
};

// A failure from a system call: errno, its text and the path it was about.
Failure systemFailure(int err, const std::string& what, const std::string& path,
                      const std::string& source);

}  // namespace kelvane
