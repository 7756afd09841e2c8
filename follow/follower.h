#pragma once

#include <functional>
#include <string>

#include "settings/app_state.h"

namespace kelvane {

struct Platform;
class Watches;

// How long following waits by default after the last change before it builds.
inline constexpr double kDefaultSettleSeconds = 2;
// The longest wait before a failed build is tried again, however often it failed.
inline constexpr double kLongestRetrySeconds = 60;

// What one build of the followed settings came to.
struct FollowedBuild {
  bool done = false;   // false: it failed, and its report was written
  size_t changes = 0;  // folders it removed and created
};
using FollowBuild = std::function<FollowedBuild(AppState&)>;

// A build as following runs it: runBuild, with the locks and the --wait of a timer build;
// a failure writes its report as any build's does, without asking anyone to read it, and
// is said in one line.
FollowedBuild buildAndReport(Platform& platform, AppState& state);

// Follows the settings that state holds (read from state.datPath): builds, then builds
// again once the watched folders have been quiet for settle seconds, at most once per
// settle period while changes keep coming, and after a failure again with a growing wait;
// reads the settings file again when it changes, keeping the last settings that read.
// Returns 0 when an end is asked for, which is seen between builds only.
int follow(Platform& platform, Watches& watches, const AppState& state, double settle,
           const FollowBuild& build);

}  // namespace kelvane
