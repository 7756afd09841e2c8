#include "startup/run_program.h"

#include <iostream>

#include "base/failure.h"
#include "engine/build_run.h"
#include "follow/follower.h"
#include "platform/platform.h"
#include "platform/watches.h"
#include "report/error_report.h"
#include "startup/form_load.h"
#include "window/frm_main.h"

namespace kelvane {
namespace {

const char* const kUsage =
    "Usage: kelvane                  open the settings window\n"
    "       kelvane SETTINGS.dat     open the window with these settings\n"
    "       kelvane --open FILE      open the window with FILE, whatever its name holds\n"
    "       kelvane '?SETTINGS.dat'  build: bring the mirror folders under the link root to\n"
    "                                the merge sources and write the new VFS table, no window\n"
    "       kelvane --dry-run '?SETTINGS.dat'\n"
    "                                run every check of a build, change nothing, and print\n"
    "                                what it would remove and create; a failure writes no\n"
    "                                report, its text goes to standard error\n"
    "       kelvane --wait SECONDS '?SETTINGS.dat'\n"
    "                                wait at most SECONDS (default 600) for another build of\n"
    "                                the same link root or table, then fail naming it\n"
    "       kelvane --follow [--settle SECONDS] '?SETTINGS.dat'\n"
    "                                build, then build again each time the merge sources or\n"
    "                                the settings file have changed and been quiet for\n"
    "                                SECONDS (default 2); SIGTERM or SIGINT ends it (on\n"
    "                                Windows Ctrl+C, or setting the event\n"
    "                                Local\\kelvane-follow-PID)\n"
    "       kelvane --help | --version\n"
    "A relative settings path is looked up in the current folder, then in the program's\n"
    "folder. A failure writes kelvaneerrors.txt beside the executable when that folder can\n"
    "be written and is no system program folder (one of root's holding other programs, as\n"
    "/usr/bin), else in $XDG_STATE_HOME/kelvane/ (default ~/.local/state/kelvane/, for root\n"
    "/var/lib/kelvane/); exit status 1. See kelvane(1).\n";

// A whole number of seconds, 0 to a day: no build should wait longer than that unseen.
bool waitSeconds(const std::string& text, double& seconds) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  seconds = std::stoi(text);
  return seconds <= 86400;
}

// Seconds with an optional fraction, from a tenth to an hour: a build per settle period must
// stay possible, and a change should not wait longer than that to show.
bool settleSeconds(const std::string& text, double& seconds) {
  size_t point = text.find('.');
  std::string whole = text.substr(0, point);
  std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
  auto digits = [](const std::string& t, size_t most) {
    return t.size() <= most && t.find_first_not_of("0123456789") == std::string::npos;
  };
  if (whole.empty() || !digits(whole, 4) || !digits(fraction, 3) ||
      (point != std::string::npos && fraction.empty()))
    return false;
  seconds = std::stod(whole + (fraction.empty() ? "" : "." + fraction));
  return seconds >= 0.1 && seconds <= 3600;
}

// A following run: a build, then one each time what it reads has changed and settled.
int followRequest(Platform& platform, const OpenWatches& openWatches, AppState& state,
                  double settle) {
  std::unique_ptr<Watches> watches =
      inStep({"Watching the merge folders", "Run the build from a timer instead"}, openWatches);
  return follow(platform, *watches, state, settle,
                [&](AppState& build) { return buildAndReport(platform, build); });
}

}  // namespace

int runProgram(Platform& platform, const std::string& argumentText,
               const OpenWatches& openWatches) {
  if (argumentText == "--help") {
    std::cout << kUsage;
    return 0;
  }
  if (argumentText == "--version") {
    std::cout << "kelvane 1.1\n";
    return 0;
  }
  // Options of a build stand before its request, in any order.
  std::string request = argumentText;
  bool dryRun = false, waitGiven = false, following = false, settleGiven = false;
  double settle = kDefaultSettleSeconds;
  AppState state;
  for (;;) {
    if (request.rfind("--dry-run ", 0) == 0) {
      dryRun = true;
      request.erase(0, 10);
    } else if (request.rfind("--wait ", 0) == 0) {
      size_t end = request.find(' ', 7);
      if (!waitSeconds(request.substr(7, end - 7), state.waitSeconds) || end == std::string::npos) {
        std::cerr << "kelvane: --wait takes a number of seconds and a build request: kelvane "
                     "--wait 600 '?SETTINGS.dat'\n";
        return 2;
      }
      waitGiven = true;
      request.erase(0, end + 1);
    } else if (request.rfind("--follow ", 0) == 0) {
      following = true;
      request.erase(0, 9);
    } else if (request.rfind("--settle ", 0) == 0) {
      size_t end = request.find(' ', 9);
      if (!settleSeconds(request.substr(9, end - 9), settle) || end == std::string::npos) {
        std::cerr << "kelvane: --settle takes a number of seconds from 0.1 to 3600 and goes "
                     "with --follow: kelvane --follow --settle 2 '?SETTINGS.dat'\n";
        return 2;
      }
      settleGiven = true;
      request.erase(0, end + 1);
    } else {
      break;
    }
  }
  if ((dryRun || waitGiven) && request.find('?') == std::string::npos) {
    std::cerr << "kelvane: --dry-run and --wait need a build request: kelvane --dry-run "
                 "'?SETTINGS.dat'\n";
    return 2;
  }
  if ((settleGiven && !following) || (following && dryRun) ||
      (following && request.find('?') == std::string::npos)) {
    std::cerr << "kelvane: --follow takes a build request, --settle goes with it, and a dry "
                 "run does not follow: kelvane --follow --settle 2 '?SETTINGS.dat'\n";
    return 2;
  }
  try {
    try {
      RunMode mode = formLoad(platform, request, state);
      if (mode == RunMode::Build && following)
        return followRequest(platform, openWatches, state, settle);
      if (mode == RunMode::Build) {
        runBuild(platform, state, dryRun ? &std::cout : nullptr);
        return 0;
      }
      return inStep(kShowingGui, [&] {
        FrmMain form(platform, state);
        return platform.messages.runWindow(form);
      });
    } catch (const Failure&) {
      throw;
    } catch (const std::exception& e) {
      throw failureFrom(e);
    }
  } catch (const Failure& failure) {
    // A dry run writes nothing, not even a report: the last build's report stays.
    if (dryRun) return reportDryRunFailure(platform, failure, state);
    return reportFailure(platform, failure, state);
  }
}

}  // namespace kelvane
