#pragma once

#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/watches.h"

namespace kelvane::testing {

// The system's watches played on real folders with a clock of the test's own: each wait
// runs the next scripted step once the clock reaches it (or lets the timeout pass before
// it), then reports what changed in every watched folder since the last look, as inotify
// would, whoever changed it. When the script has run out an end is asked for.
class PlayedWatches : public Watches {
 public:
  struct Step {
    double at;
    std::function<void()> act;
    bool overflow = false;  // the system drops this step's changes and says so
  };
  std::deque<Step> script;
  size_t limit = 1000;            // watches the system allows at once
  std::vector<std::string> told;  // what the service manager was told
  double watchdog = 0;            // seconds, as WatchdogSec set it
  double clock = 0;

  void at(double when, std::function<void()> act) { script.push_back({when, std::move(act)}); }
  // The folders watched now, as their paths were given.
  std::set<std::string> watchedPaths() const;
  std::set<std::string> watchedAtEnd;  // watchedPaths() when the end was asked for

  WatchStart watchFolder(const std::string& path) override;
  void unwatch(int watch) override;
  double now() override { return clock; }
  WatchWake wait(std::optional<double> timeout) override;
  void tellService(const std::string& state) override { told.push_back(state); }
  double watchdogSeconds() override { return watchdog; }
  std::string timeText() override { return "at " + std::to_string(clock); }
  // As inotify's, or none (as on Windows) when noLimitSettings.
  bool noLimitSettings = false;
  std::string limitSetting(WatchLimit limit) override {
    if (noLimitSettings) return "";
    return limit == WatchLimit::Queue ? "fs.inotify.max_queued_events"
                                      : "fs.inotify.max_user_watches";
  }

 private:
  // Each entry's identity and, for a file, when it was written: an entry replaced (by a
  // rename over it) is a new name, as inotify says; a file written in place is a write.
  struct Seen {
    std::string key;
    long long written;  // in the system's own ticks; 0 for a folder
    bool operator==(const Seen&) const = default;
  };
  using Listing = std::map<std::string, Seen>;
  // The watched folder held open, as a watch holds it: a folder removed and made again is
  // another one, never the same inode used again.
  struct Held {
    explicit Held(const std::string& path);
    ~Held();
    int fd = -1;
  };
  struct Watched {
    std::string path, key;
    Listing seen;
    std::shared_ptr<Held> held;
  };
  // True while the folder the watch holds is still there by its path.
  static bool stillThere(const Watched& folder);
  static std::string keyOf(const std::string& path);
  static bool list(const std::string& path, Listing& listing);
  void look(WatchWake& wake);

  std::map<int, Watched> watched_;
  int next_ = 1;
};

}  // namespace kelvane::testing
