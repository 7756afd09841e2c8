#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvane {

// One change a watch saw in the folder it watches.
struct WatchEvent {
  int watch = -1;    // the watch it came through
  std::string name;  // the entry of the folder it concerns; empty for the folder itself
  // The watched folder itself was removed or moved away: the watch has ended.
  bool folderGone = false;
  // A file in it was written, which changes no listing of the folder.
  bool written = false;
};

// What ended a wait for changes.
struct WatchWake {
  std::vector<WatchEvent> events;
  bool overflowed = false;  // the system dropped changes: anything may have changed
  bool stop = false;        // an end was asked for (SIGTERM or SIGINT on Linux)
};

// How asking for a watch went.
struct WatchStart {
  enum Result { Watching, NoFolder, LimitReached } result = NoFolder;
  int watch = -1;  // when Watching
};

// A limit of the system's that following can run into.
enum class WatchLimit {
  Queue,    // the changes kept until they are read: beyond it they are lost (overflowed)
  Watches,  // the folders watched at once (LimitReached)
};

// What following the settings asks of the system: watches on single folders (not their
// subfolders), a clock, requests to end, and the service manager that started the program.
// Failures other than those named here are thrown as kelvane::Failure.
class Watches {
 public:
  virtual ~Watches() = default;

  // Watches the folder at path (a link to one is followed) for entries appearing, going or
  // renamed, a file in it written, and the folder itself removed or moved away. NoFolder
  // when no folder is there; LimitReached when the system allows no more watches.
  virtual WatchStart watchFolder(const std::string& path) = 0;
  virtual void unwatch(int watch) = 0;
  // Seconds on a clock that never goes back.
  virtual double now() = 0;
  // Waits until changes come, an end is asked for, or timeout seconds have passed (no
  // bound when none). An end asked for while the program was busy is seen here.
  virtual WatchWake wait(std::optional<double> timeout) = 0;

  // Tells the service manager that started the program how it is doing ("READY=1",
  // "STATUS=…", "WATCHDOG=1"); nothing when none did or the build cannot tell one.
  virtual void tellService(const std::string& state) = 0;
  // How often, in seconds, the service manager wants to hear WATCHDOG=1; 0 when it does not.
  virtual double watchdogSeconds() = 0;
  // The time of day now, as the status shows it ("2026-12-09 03:00:12 UTC").
  virtual std::string timeText() = 0;
  // The system's setting that raises limit, as the line saying it was reached names it
  // ("fs.inotify.max_user_watches"); empty where no setting raises it.
  virtual std::string limitSetting(WatchLimit limit) = 0;
};

// Opens the system's watches when following starts; empty where the system has none.
using OpenWatches = std::function<std::unique_ptr<Watches>()>;

}  // namespace kelvane
