#include "base/failure.h"

#include <gtest/gtest.h>

#include <new>

#include "tests/support/failure_of.h"

namespace kelvane {
namespace {

using testing::failureOf;

const RunStep kOuter{"outer step", "outer fix"};
const RunStep kInner{"inner step", "inner fix"};

// A phase that runs a smaller step of its own reports the smaller one; a failure that knows
// what the user should do keeps its own fix, and one that does not takes its step's.
TEST(FailureStep, TheInnermostStepNamesTheFailureAndAnOwnFixStays) {
  auto raise = [](std::string fix) {
    return failureOf([&] {
      inStep(kOuter, [&] { inStep(kInner, [&] { throw Failure(5, "what", "op", fix); }); });
    });
  };
  Failure own = raise("own fix");
  EXPECT_EQ(own.action(), "inner step");
  EXPECT_EQ(own.fix(), "own fix");
  Failure plain = raise("");
  EXPECT_EQ(plain.action(), "inner step");
  EXPECT_EQ(plain.fix(), "inner fix");
  EXPECT_EQ(plain.number(), 5);
  EXPECT_EQ(inStep(kOuter, [] { return 42; }), 42);  // nothing failing, nothing changed
}

TEST(FailureStep, AnExceptionThatIsNoFailureBecomesOneOfItsStep) {
  Failure memory = failureOf([] { inStep(kOuter, []() -> int { throw std::bad_alloc(); }); });
  EXPECT_EQ(memory.number(), kErrOutOfMemory);
  EXPECT_EQ(memory.action(), "outer step");
  EXPECT_EQ(memory.fix(), "outer fix");
  Failure internal =
      failureOf([] { inStep(kOuter, [] { throw std::logic_error("no such row"); }); });
  EXPECT_EQ(internal.number(), kErrInternal);
  EXPECT_EQ(internal.description(), "Internal error: no such row");
  EXPECT_EQ(internal.action(), "outer step");
}

}  // namespace
}  // namespace kelvane
