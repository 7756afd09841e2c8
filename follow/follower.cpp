#include "follow/follower.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include "base/failure.h"
#include "engine/build_run.h"
#include "follow/source_watches.h"
#include "platform/platform.h"
#include "platform/watches.h"
#include "report/error_report.h"

namespace kelvane {

FollowedBuild buildAndReport(Platform& platform, AppState& state) {
  try {
    try {
      return {true, runBuild(platform, state)};
    } catch (const Failure&) {
      throw;
    } catch (const std::exception& e) {
      throw failureFrom(e);
    }
  } catch (const Failure& failure) {
    std::string report = writeReport(platform, failure, state);
    platform.messages.warn(
        "kelvane: the build failed while " + failure.action() + ": " + failure.description() +
        (report.empty() ? "" : "; the report is in " + report) + ". Following goes on.");
    return {false, 0};
  }
}

namespace {

// A steady stream of changes still shows within this many settle periods.
constexpr double kLongestDelayInSettles = 5;

class Follower {
 public:
  Follower(Platform& platform, Watches& watches, const AppState& state, double settle,
           const FollowBuild& build)
      : platform_(platform),
        watches_(watches),
        state_(state),
        settle_(settle),
        build_(build),
        sources_(watches, platform.files.separators()) {}

  int run() {
    sources_.follow(state_.datPath, state_.settings);
    sayLimits(false);
    buildNow();
    watches_.tellService("READY=1");
    lastWatchdog_ = watches_.now();
    for (;;) {
      WatchWake wake = watches_.wait(timeout());
      if (wake.stop) {
        watches_.tellService("STOPPING=1");
        return 0;
      }
      double now = watches_.now();
      for (const WatchEvent& event : wake.events) take(sources_.meaningOf(event), now);
      if (wake.overflowed) {
        platform_.messages.warn(
            "kelvane: the system's queue of file changes overflowed, so changes were lost; "
            "building everything again" +
            raising(WatchLimit::Queue, " to avoid this"));
        sources_.refresh();
        take({true, false}, now);
      }
      if (retryAt_ && now >= *retryAt_) {
        retryAt_.reset();
        take(sources_.retry(), now);
        // A retry is the wait: it builds now, unless a build was done less than a settle
        // period ago.
        if (!lastDone_) {
          take({true, false}, now);
          retryDue_ = true;
        }
      }
      sayLimits(true);
      if (firstChange_ && now >= buildAt()) buildNow();
      if (watchdog() > 0 && watches_.now() >= lastWatchdog_ + watchdog() / 2) {
        watches_.tellService("WATCHDOG=1");
        lastWatchdog_ = watches_.now();
      }
    }
  }

 private:
  void take(SourceWatches::Meaning meaning, double now) {
    if (!meaning.sources && !meaning.settings) return;
    settingsChanged_ = settingsChanged_ || meaning.settings;
    sourcesChanged_ = sourcesChanged_ || meaning.sources;
    if (!firstChange_) firstChange_ = now;
    lastChange_ = now;
  }

  // A watch the system's limit kept from being made: said once; everything is built again
  // each time, since changes there go unseen until the watch is made.
  void sayLimits(bool build) {
    if (!sources_.takeLimitReached()) return;
    if (!std::exchange(limitSaid_, true))
      platform_.messages.warn(
          "kelvane: the system allows no more watches, so some folders are not followed; "
          "building everything again each minute until they are" +
          raising(WatchLimit::Watches, ""));
    if (build) take({true, false}, watches_.now());
  }

  // " (raise SETTING…)" where a setting of the system's raises limit.
  std::string raising(WatchLimit limit, const std::string& why) {
    std::string setting = watches_.limitSetting(limit);
    return setting.empty() ? "" : " (raise " + setting + why + ")";
  }

  double watchdog() { return watches_.watchdogSeconds(); }

  // Quiet for a settle period, or changing for several; never sooner than a settle period
  // after the last build.
  double buildAt() const {
    double quiet = retryDue_ ? 0
                             : std::min(lastChange_ + settle_,
                                        *firstChange_ + kLongestDelayInSettles * settle_);
    return std::max(quiet, lastBuild_ + settle_);
  }

  std::optional<double> timeout() {
    std::optional<double> at;
    auto earliest = [&](double t) { at = at ? std::min(*at, t) : t; };
    if (firstChange_) earliest(buildAt());
    if (!retryAt_ && (!lastDone_ || sources_.incomplete())) retryAt_ = watches_.now() + retryWait();
    if (retryAt_) earliest(*retryAt_);
    if (watchdog() > 0) earliest(lastWatchdog_ + watchdog() / 2);
    if (!at) return std::nullopt;
    return std::max(0.0, *at - watches_.now());
  }

  // 2, 4, 8 … seconds after each failure in a row, at most a minute; a minute while a watch
  // cannot be made.
  double retryWait() const {
    if (lastDone_) return kLongestRetrySeconds;
    return std::min(kLongestRetrySeconds, std::ldexp(1.0, std::min(failures_, 6)));
  }

  // False when the file no longer reads: the settings read before stay.
  bool reloadSettings() {
    AppState fresh = state_;
    std::string lines;
    try {
      readSettings(platform_, state_.datPath, fresh.settings, lines, true);
    } catch (const Failure& failure) {
      platform_.messages.warn("kelvane: " + state_.datPath + " no longer reads (" +
                              failure.description() +
                              "); the settings read before stay in force until it is put right");
      return false;
    }
    state_.settings = fresh.settings;
    sources_.follow(state_.datPath, state_.settings);
    return true;
  }

  void buildNow() {
    bool settingsRead = !std::exchange(settingsChanged_, false) || reloadSettings();
    firstChange_.reset();
    retryDue_ = false;
    // A settings file that no longer reads changed nothing the build would see.
    if (!std::exchange(sourcesChanged_, false) && !settingsRead) return;
    AppState forBuild = state_;  // a build normalises what it is given
    FollowedBuild result = build_(forBuild);
    lastBuild_ = watches_.now();
    lastDone_ = result.done;
    failures_ = result.done ? 0 : failures_ + 1;
    retryAt_.reset();
    std::string status = "STATUS=Last build " + watches_.timeText() + ": " +
                         (result.done ? "done, " + std::to_string(result.changes) +
                                            (result.changes == 1 ? " change" : " changes")
                                      : std::string("failed, see the report"));
    watches_.tellService(status);
    if (watchdog() > 0) {
      watches_.tellService("WATCHDOG=1");
      lastWatchdog_ = watches_.now();
    }
  }

  Platform& platform_;
  Watches& watches_;
  AppState state_;  // the last settings that read
  double settle_;
  const FollowBuild& build_;
  SourceWatches sources_;
  std::optional<double> firstChange_;  // of the changes not built yet
  double lastChange_ = 0, lastBuild_ = 0, lastWatchdog_ = 0;
  std::optional<double> retryAt_;
  bool settingsChanged_ = false, sourcesChanged_ = false, lastDone_ = true, limitSaid_ = false,
       retryDue_ = false;
  int failures_ = 0;
};

}  // namespace

int follow(Platform& platform, Watches& watches, const AppState& state, double settle,
           const FollowBuild& build) {
  return Follower(platform, watches, state, settle, build).run();
}

}  // namespace kelvane
