// How builds take their locks: each once, in one order, all waits ending at one deadline.
#include "engine/build_lock.h"

#include <gtest/gtest.h>

#include <chrono>

#include "base/failure.h"
#include "tests/support/failure_of.h"
#include "tests/support/test_platform.h"

namespace kelvane {
namespace {

using Clock = std::chrono::steady_clock;

// What the fake locks were asked, in order.
struct Asked {
  std::vector<std::string> tries;
  std::vector<double> waits;
};

// A lock held by another build until heldFor of its wait has passed (never, below zero).
class FakeLock : public PathLock {
 public:
  FakeLock(std::string name, uint64_t inode, double heldFor, Asked& asked)
      : name_(std::move(name)), inode_(inode), heldFor_(heldFor), asked_(asked) {}
  bool tryHold() override {
    asked_.tries.push_back(name_);
    return heldFor_ == 0;
  }
  bool holdWithin(double seconds) override {
    asked_.waits.push_back(seconds);
    if (heldFor_ < 0 || heldFor_ > seconds) return false;
    // Time passes while it waits, as it would for the other build to end.
    for (auto end = Clock::now() + std::chrono::duration<double>(heldFor_); Clock::now() < end;) {
    }
    return true;
  }
  std::string holder() override { return ""; }
  FileIdentity identity() const override { return {1, inode_}; }
  const std::string& shown() const override { return name_; }

 private:
  std::string name_;
  uint64_t inode_;
  double heldFor_;
  Asked& asked_;
};

// Each path "name:inode:heldFor" gives one fake lock.
struct FakeLocks : testing::FaultyFiles {
  using FaultyFiles::FaultyFiles;
  std::vector<std::unique_ptr<PathLock>> openLocks(const std::string& path, Guarded,
                                                   bool) override {
    std::vector<std::unique_ptr<PathLock>> locks;
    size_t a = path.find(':'), b = path.rfind(':');
    locks.push_back(std::make_unique<FakeLock>(path.substr(0, a),
                                               std::stoull(path.substr(a + 1, b - a - 1)),
                                               std::stod(path.substr(b + 1)), asked));
    return locks;
  }
  Asked asked;
};

struct Turns : ::testing::Test {
  std::vector<std::unique_ptr<PathLock>> take(const std::vector<std::string>& paths, double wait) {
    std::vector<LockedPath> locked;
    for (const auto& path : paths) locked.push_back({path, Guarded::Table});
    Platform with{files, test.processes, test.messages};
    return takeTurns(with, locked, false, wait);
  }
  testing::TestPlatform test;
  FakeLocks files{test.files, test.faults};
};

// Crossed builds (one names the link root first, the other the table) take the same locks
// in the same order, so neither holds what the other waits for; what two paths share is
// taken once.
TEST_F(Turns, LocksAreTakenOnceInTheOrderOfWhatTheyGuard) {
  for (const auto& paths : {std::vector<std::string>{"table:7:0", "root:3:0", "again:7:0"},
                            std::vector<std::string>{"root:3:0", "table:7:0"}}) {
    files.asked = {};
    EXPECT_EQ(take(paths, 1).size(), 2u);
    EXPECT_EQ(files.asked.tries, (std::vector<std::string>{"root", "table"}));
  }
}

// Two locks each held a while: the second waits only for what is left of the one bound.
TEST_F(Turns, AllWaitsEndAtOneDeadline) {
  take({"root:3:0.01", "table:7:0.01"}, 5);
  ASSERT_EQ(files.asked.waits.size(), 2u);
  EXPECT_LE(files.asked.waits[0], 5);
  EXPECT_LE(files.asked.waits[1], files.asked.waits[0] - 0.01);
  EXPECT_EQ(test.messages.warnings.size(), 2u);
  // Past the bound: the build fails naming the lock, with a fix.
  Failure failure = testing::failureOf([&] { take({"root:3:0.02", "table:7:-1"}, 0.03); });
  EXPECT_EQ(failure.number(), kErrLockHeld);
  EXPECT_LE(files.asked.waits.back(), 0.03 - 0.02);
  EXPECT_NE(failure.description().find("\"table\" was still held"), std::string::npos)
      << failure.description();
  EXPECT_NE(failure.description().find("by another process"), std::string::npos);
  EXPECT_FALSE(failure.fix().empty());
}

}  // namespace
}  // namespace kelvane
