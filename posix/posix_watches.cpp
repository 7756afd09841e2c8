#include "posix/posix_watches.h"

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

#include "base/failure.h"
#include "posix/posix_support.h"
#ifdef KELVANE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace kelvane {
namespace {

using posix::Descriptor;
using posix::systemPath;

constexpr uint32_t kFolderChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                    IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

class PosixWatches : public Watches {
 public:
  PosixWatches() {
    sigset_t ends;
    sigemptyset(&ends);
    sigaddset(&ends, SIGTERM);
    sigaddset(&ends, SIGINT);
    if (::sigprocmask(SIG_BLOCK, &ends, &before_) != 0)
      throw systemFailure(errno, "Cannot hold back SIGTERM and SIGINT", "", "sigprocmask");
    signals_ = Descriptor(::signalfd(-1, &ends, SFD_CLOEXEC | SFD_NONBLOCK));
    if (signals_.get() < 0) {
      int err = errno;
      ::sigprocmask(SIG_SETMASK, &before_, nullptr);
      throw systemFailure(err, "Cannot take SIGTERM and SIGINT", "", "signalfd");
    }
    inotify_ = Descriptor(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (inotify_.get() < 0) {
      int err = errno;
      ::sigprocmask(SIG_SETMASK, &before_, nullptr);
      throw Failure(err,
                    std::string("Cannot watch folders: ") + std::strerror(err) +
                        (err == EMFILE ? " (raise fs.inotify.max_user_instances)" : ""),
                    "inotify_init1", "Run the build from a timer instead, or raise the limit");
    }
  }
  ~PosixWatches() override { ::sigprocmask(SIG_SETMASK, &before_, nullptr); }

  WatchStart watchFolder(const std::string& path) override {
    int watch =
        ::inotify_add_watch(inotify_.get(), systemPath(path, "inotify_add_watch"), kFolderChanges);
    if (watch >= 0) return {WatchStart::Watching, watch};
    if (errno == ENOSPC) return {WatchStart::LimitReached};
    if (errno == ENOENT || errno == ENOTDIR || errno == EACCES) return {WatchStart::NoFolder};
    throw systemFailure(errno, "Cannot watch the folder", path, "inotify_add_watch");
  }

  void unwatch(int watch) override { ::inotify_rm_watch(inotify_.get(), watch); }

  double now() override {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
  }

  WatchWake wait(std::optional<double> timeout) override {
    WatchWake wake;
    pollfd fds[2] = {{inotify_.get(), POLLIN, 0}, {signals_.get(), POLLIN, 0}};
    int ms = timeout ? static_cast<int>(std::ceil(std::min(*timeout, 86400.0) * 1000)) : -1;
    if (::poll(fds, 2, ms) < 0 && errno != EINTR)
      throw systemFailure(errno, "Cannot wait for changes", "", "poll");
    signalfd_siginfo info;
    while (::read(signals_.get(), &info, sizeof info) == sizeof info) wake.stop = true;
    readEvents(wake);
    return wake;
  }

  void tellService(const std::string& state) override {
#ifdef KELVANE_SYSTEMD
    ::sd_notify(0, state.c_str());
#else
    (void)state;
#endif
  }

  double watchdogSeconds() override {
#ifdef KELVANE_SYSTEMD
    uint64_t usec = 0;
    if (::sd_watchdog_enabled(0, &usec) > 0) return static_cast<double>(usec) / 1e6;
#endif
    return 0;
  }

  std::string timeText() override {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    char text[40] = "";
    if (::gmtime_r(&now, &utc) != nullptr) std::strftime(text, sizeof text, "%F %T UTC", &utc);
    return text;
  }

  std::string limitSetting(WatchLimit limit) override {
    return limit == WatchLimit::Queue ? "fs.inotify.max_queued_events"
                                      : "fs.inotify.max_user_watches";
  }

 private:
  void readEvents(WatchWake& wake) {
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
      ssize_t got = ::read(inotify_.get(), buffer, sizeof buffer);
      if (got <= 0) return;
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if (event->mask & IN_Q_OVERFLOW) {
          wake.overflowed = true;
          continue;
        }
        WatchEvent seen{event->wd, event->len > 0 ? std::string(event->name) : ""};
        seen.written = (event->mask & IN_CLOSE_WRITE) != 0;
        if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
          // A folder moved away stays watched where it went: its watch ends here.
          if (event->mask & IN_MOVE_SELF) ::inotify_rm_watch(inotify_.get(), event->wd);
          seen.folderGone = true;
          seen.name.clear();
        }
        wake.events.push_back(std::move(seen));
      }
    }
  }

  Descriptor signals_, inotify_;
  sigset_t before_{};
};

}  // namespace

std::unique_ptr<Watches> openPosixWatches() { return std::make_unique<PosixWatches>(); }

}  // namespace kelvane
