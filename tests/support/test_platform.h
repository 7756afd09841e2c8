#pragma once

#include <memory>

#include "platform/platform.h"
#include "tests/support/faults.h"
#include "tests/support/faulty_files.h"
#include "tests/support/recorded_messages.h"
#include "tests/support/recorded_processes.h"

namespace kelvane::testing {

// The system's files for a test that only looks (warnings go to standard error).
Files& systemFiles();

// The system's files and processes with the windowless messages on standard error, put
// together as a build run has them.
struct SystemParts {
  SystemParts();
  std::unique_ptr<Messages> ownConsole;
  std::unique_ptr<Files> ownFiles;
  std::unique_ptr<Processes> ownProcesses;
};
class SystemPlatform : private SystemParts, public Platform {
 public:
  SystemPlatform() : Platform{*ownFiles, *ownProcesses, *ownConsole} {}
};

// What a test hands the program for the system: the real files and processes below a
// test's temporary folder, with faults injected where the test asks, and the person at the
// screen played by the test.
class TestPlatform {
 public:
  TestPlatform();
  TestPlatform(const TestPlatform&) = delete;
  TestPlatform& operator=(const TestPlatform&) = delete;

  RecordedMessages messages;
  Faults faults;
  // The user's state folder, where a table written in place keeps its journal; while it is
  // empty, asking for it fails, so that no test writes to a real home.
  std::string stateFolder;

 private:
  std::unique_ptr<Files> systemFiles_;
  std::unique_ptr<Processes> systemProcesses_;

 public:
  FaultyFiles files;
  RecordedProcesses processes;

  operator Platform&() { return platform_; }

 private:
  Platform platform_;
};

}  // namespace kelvane::testing
