#include "posix/posix_changes_behind.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "tests/support/system_setup.h"

namespace kelvane::posix {
namespace {

// However far behind the thread falls, the walk waits before the renamed folders' descriptors
// it has handed over, with those it has not handed over yet, pass one and a half times the
// bound: an eighth of the open-file limit, 32 under a limit of 256.
TEST(ChangesBehind, RenamesHoldNoMoreDescriptorsThanTheBoundHoweverFarBehindTheThreadIs) {
  if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one core: changes made at once";
  struct rlimit was, low;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &was), 0);
  low = {256, was.rlim_max};
  if (was.rlim_max < 256 || ::setrlimit(RLIMIT_NOFILE, &low) != 0) GTEST_SKIP() << "limit";
  static std::atomic<bool> walkWaited;
  static long before, mostOpen;
  walkWaited = false;
  before = testing::openDescriptors();
  mostOpen = 0;
  // The thread makes nothing until the walk has waited for it once.
  walkWaitsBehind = [] {
    mostOpen = std::max(mostOpen, testing::openDescriptors() - before);
    walkWaited = true;
    walkWaited.notify_all();
  };
  {
    ChangesBehind behind([](const ChangesBehind::Change&) {
      walkWaited.wait(false);
      return true;
    });
    behind.start();
    for (int i = 0; i < 300; ++i)
      behind.ask({.what = ChangesBehind::What::RenameFolder,
                  .closing = Descriptor(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC))});
    std::vector<ChangesBehind::NotRenamed> notRenamed;
    behind.finish(notRenamed);
  }
  walkWaitsBehind = nullptr;
  ::setrlimit(RLIMIT_NOFILE, &was);
  EXPECT_TRUE(walkWaited);
  EXPECT_LE(mostOpen, 48);
  EXPECT_EQ(testing::openDescriptors(), before);
}

}  // namespace
}  // namespace kelvane::posix
