#pragma once

#include <gtest/gtest.h>

#include "base/failure.h"

namespace kelvane::testing {

// The failure that work ends in; a failed test (and a failure naming nothing) when it ends
// without one.
template <class Work>
Failure failureOf(Work&& work) {
  try {
    work();
  } catch (const Failure& failure) {
    return failure;
  }
  ADD_FAILURE() << "ended without a failure";
  return Failure(0, "", "");
}

}  // namespace kelvane::testing
