// The dry run says exactly what the build will do: random worlds, each dry-run and then
// built on the real file system (in a scratch folder), the dry run's plan held against a
// snapshot diff of what the build did. Seeded and reproducible:
//   KELVANE_DIFF_SEED     the first world's seed (default 1)
//   KELVANE_DIFF_WORLDS   how many worlds (default 150), or
//   KELVANE_DIFF_SECONDS  run worlds for this long instead (scripts/test.sh,
//   scripts/differential.sh)
// A world where plan and build differ is printed as a small reproducer: the seed and every
// step that made it.
#ifndef _WIN32

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "base/failure.h"
#include "base/visible_text.h"
#include "engine/build_run.h"
#include "startup/form_load.h"
#include "tests/support/as_account.h"
#include "tests/support/scratch_tree.h"
#include "tests/support/system_setup.h"
#include "tests/support/test_platform.h"

namespace kelvane {
namespace {

using testing::ScratchTree;
using testing::TestPlatform;

const char* const kNames[] = {"a", "b", "linux", "Linux", "music", "debian", "x"};
const char* const kGenres[] = {"", "", "a", "a/b", "./a//", "linux", "Linux", "music", "x/"};
constexpr uid_t kServer = 65534;      // nobody, playing the server's own account
constexpr gid_t kOtherGroup = 65533;  // a group the server's account belongs to besides its own

struct Entry {
  char type;  // d folder, f file, l link, p pipe
  uid_t owner;
  mode_t mode;
  std::string bytes;
  friend bool operator==(const Entry&, const Entry&) = default;
};
using Snapshot = std::map<std::string, Entry>;  // path below the scratch folder

// Everything below folder, links not followed.
void snapshot(const std::string& base, const std::string& relative, Snapshot& out) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(base + "/" + relative, error)) {
    std::string name = entry.path().filename().string();
    std::string path = relative.empty() ? name : relative + "/" + name;
    if (testing::isBuildLock(path)) continue;
    struct stat st;
    if (::lstat(entry.path().c_str(), &st) != 0) continue;
    Entry e{'?', st.st_uid, st.st_mode & 07777, {}};
    if (S_ISDIR(st.st_mode)) {
      e.type = 'd';
    } else if (S_ISLNK(st.st_mode)) {
      e.type = 'l';
    } else if (S_ISFIFO(st.st_mode)) {
      e.type = 'p';
    } else {
      e.type = 'f';
      e.bytes = testing::readBytes(entry.path().string());
    }
    out[path] = e;
    if (e.type == 'd') snapshot(base, path, out);
  }
}

struct World {
  explicit World(unsigned seed) : random(seed) {
    sameTable = pick(4) == 0;
    hazards = pick(3) == 0;  // read-only files and pipes, which stop most builds
    // Who builds, where its journal goes, and the folder the link root is made in: each
    // something the dry run must ask the system about as the build will.
    if (pick(3) == 0) step("account 65534");
    switch (pick(6)) {
      case 0:
        step("file blocker");
        step("state blocker/state");  // a file where a folder of it must be made
        break;
      case 1:
        step("state state");  // not there yet: made by a build that writes in place
        break;
    }
    switch (pick(8)) {
      case 0:
        linkRoot = "gone/links";  // its folder missing
        break;
      case 1:
        linkRoot = "roots/links";  // in a folder of root's, which the server cannot write
        step("folder roots");
        break;
    }
    bool linkRootThere = linkRoot != "gone/links" && pick(6) != 0;
    if (linkRootThere) {
      step("folder " + linkRoot);
      oldMirror(linkRoot, 3);
    }
    int sources = pick(3) + 1;
    for (int i = 0; i < sources; ++i) {
      std::string source = "src/s" + std::to_string(i);
      step("folder " + source);
      for (const char* name : kNames)
        if (pick(3) == 0) step("folder " + source + "/" + name);
      // A source named by its folder's contents, or by one entry.
      std::string line = t / (source + "/");
      mergeLines.push_back(line + "|" + kGenres[pick(sizeof kGenres / sizeof *kGenres)]);
    }
    if (pick(5) == 0) mergeLines.push_back(mergeLines[0]);  // a source listed twice
    std::string old;
    for (int i = pick(4); i > 0; --i) old += oldLine();
    step("table old.vfs " + old);
    if (!sameTable && pick(2)) {
      std::string out;
      for (int i = pick(4); i > 0; --i) out += pick(2) ? oldLine() : "gone,\"q\"\r\n";
      step("table out.vfs " + out);
    }
    std::string outTable = sameTable ? "old.vfs" : "out.vfs";
    if (t.has(outTable)) {
      // A second name makes the table be written in place, behind a journal.
      if (pick(4) == 0) step("hardlink " + outTable + " second.vfs");
      if (pick(8) == 0) step((pick(2) ? "flag i " : "flag a ") + outTable);
      // A table in one of the server's account's groups: root's, which it may write through
      // that group, or its own in a group it belongs to besides its own.
      const char* owners[] = {"0:65533 ", "0:65534 ", "65534:65533 "};
      if (pick(6) == 0) step("grouptable " + (owners[pick(3)] + outTable));
    }
    t.file("settings.dat", settings());
    if (account != 0) {
      giveToAccount("");
      if (::chown(madeStateFolder.path().c_str(), account, account) != 0)
        ADD_FAILURE() << "cannot give the state folder to uid " << account;
    }
    for (const std::string& flag : flagged) {
      flags.push_back(std::make_unique<testing::FileFlags>(
          t / flag.substr(2), flag[0] == 'i' ? FS_IMMUTABLE_FL : FS_APPEND_FL));
      if (!flags.back()->set()) steps.push_back("(" + flag + " not set: no inode flags here)");
    }
  }

  // Everything of root's below relative becomes the account's, as if it had made it: all but
  // the folder of root's that the link root may be in.
  void giveToAccount(const std::string& relative) {
    std::string path = relative.empty() ? t.path() : t / relative;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return;
    bool roots =
        relative == "roots" || std::find(grouped.begin(), grouped.end(), relative) != grouped.end();
    if (st.st_uid == 0 && !roots && ::lchown(path.c_str(), account, account) != 0)
      ADD_FAILURE() << "cannot give " << path << " to uid " << account;
    if (!S_ISDIR(st.st_mode)) return;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
      std::string name = entry.path().filename().string();
      giveToAccount(relative.empty() ? name : relative + "/" + name);
    }
  }

  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }

  std::string oldLine() {
    const char* lines[] = {"old|line\r\n", "a,b|\"q, r\"|u|g\r\n", "dup\r\n", "dup\r\n", "\r\n",
                           "x|y|z\r\n"};
    return lines[pick(6)];
  }

  // Carries out one step of making the world, and keeps it for the reproducer.
  void step(const std::string& what) {
    steps.push_back(what);
    size_t blank = what.find(' ');
    std::string kind = what.substr(0, blank), rest = what.substr(blank + 1);
    std::string path = t / rest;
    if (kind == "folder") {
      t.folder(rest);
    } else if (kind == "file") {
      t.file(rest, "old");
    } else if (kind == "readonly") {
      t.file(rest, "ro");
      ::chmod(path.c_str(), 0444);
    } else if (kind == "link") {
      t.link(pick(2) ? t / "src" : t / "nowhere", rest);
    } else if (kind == "fifo") {
      ::mkfifo(path.c_str(), 0644);
    } else if (kind == "foreign") {
      // Another account than the one that builds.
      uid_t other = account == 0 ? kServer : kServer - 1;
      t.folder(rest);
      if (::chown(path.c_str(), other, other) != 0) steps.back() += " (not chowned)";
    } else if (kind == "open") {
      t.folder(rest);
      ::chmod(path.c_str(), 0777);
    } else if (kind == "table") {
      size_t space = rest.find(' ');
      t.file(rest.substr(0, space), rest.substr(space + 1));
    } else if (kind == "hardlink") {
      size_t space = rest.find(' ');
      ::link((t / rest.substr(0, space)).c_str(), (t / rest.substr(space + 1)).c_str());
    } else if (kind == "account") {
      account = static_cast<uid_t>(std::stoul(rest));
    } else if (kind == "state") {
      stateFolder = t / rest;
    } else if (kind == "grouptable") {
      size_t space = rest.find(' ');
      std::string table = t / rest.substr(space + 1);
      grouped.push_back(rest.substr(space + 1));
      size_t colon = rest.find(':');
      if (::chown(table.c_str(), static_cast<uid_t>(std::stoul(rest.substr(0, colon))),
                  static_cast<gid_t>(std::stoul(rest.substr(colon + 1, space - colon - 1)))) != 0 ||
          ::chmod(table.c_str(), 0664) != 0)
        steps.back() += " (not given)";
    } else if (kind == "flag") {
      flagged.push_back(rest);  // set last: a file so flagged cannot be given to the account
    }
  }

  // Folders to keep and to remove, files, links, read-only files, pipes, hidden names, a
  // folder another account made, one open to all.
  void oldMirror(const std::string& folder, int depth) {
    for (const char* name : kNames) {
      std::string path = folder + "/" + name;
      switch (pick(14)) {
        case 0:
          step("file " + path);
          break;
        case 1:
          step("link " + path);
          break;
        case 2:
          if (hazards && pick(3) == 0) step("readonly " + path);
          break;
        case 3:
          if (hazards && pick(2) == 0) step("fifo " + path);
          break;
        case 4:
          if (pick(2) == 0) step("foreign " + path);
          break;
        case 5:
          if (pick(3) == 0) step("open " + path);
          break;
        case 6:
        case 7:
        case 8:
        case 9:
          step("folder " + path);
          if (depth > 1) oldMirror(path, depth - 1);
          break;
      }
    }
    if (pick(hazards ? 10 : 40) == 0) step("file " + folder + "/.hidden");
  }

  std::string settings() const {
    std::string out = sameTable ? "old.vfs" : "out.vfs";
    std::string text =
        t / linkRoot + "\r\n" + t / out + "\r\n" + t / "old.vfs\r\n" + "/m\r\nu\r\ng\r\n755\r\n";
    for (const auto& line : mergeLines) text += line + "\r\n";
    return text;
  }

  struct Run {
    bool ok = true;
    std::string action, description;
    int number = 0;
    std::string printed;
    std::vector<std::string> warnings;
  };
  Run run(bool dryRun) {
    TestPlatform platform;
    platform.stateFolder = stateFolder;  // where a table written in place journals
    platform.files.playStamps = clock;
    AppState state;
    Run r;
    std::ostringstream out;
    testing::AsAccount as(account, kOtherGroup);
    try {
      formLoad(platform, "?" + (t / "settings.dat"), state);
      runBuild(platform, state, dryRun ? &out : nullptr);
    } catch (const Failure& failure) {
      r.ok = false;
      r.action = failure.action();
      r.description = failure.description();
      r.number = failure.number();
    }
    r.printed = out.str();
    r.warnings = platform.messages.warnings;
    if (dryRun) lastPrinted = r.printed;
    return r;
  }

  testing::TempFolder madeStateFolder;
  std::string stateFolder = madeStateFolder.path();
  std::function<void(FolderStamp&)> clock;  // plays the system's clock where set
  std::string lastPrinted;                  // by the last dry run

  std::string reproducer(unsigned seed) const {
    std::string text = "world of seed " + std::to_string(seed) +
                       " (KELVANE_DIFF_SEED=" + std::to_string(seed) + " KELVANE_DIFF_WORLDS=1):\n";
    for (const auto& s : steps) text += "  " + visibleText(s) + "\n";
    text += "  settings:\n";
    std::string set = settings();
    for (size_t at = 0; at < set.size();) {
      size_t end = set.find("\r\n", at);
      text += "    " + set.substr(at, end - at) + "\n";
      at = end + 2;
    }
    return text;
  }

  std::mt19937 random;
  ScratchTree t;
  bool sameTable = false, hazards = false;
  uid_t account = 0;
  std::string linkRoot = "links";  // below t
  std::vector<std::string> steps, mergeLines, flagged, grouped;
  std::vector<std::unique_ptr<testing::FileFlags>> flags;  // cleared before t goes
};

std::multiset<std::string> linesOf(const std::string& text) {
  std::multiset<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    lines.insert(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

// What held against what: one world; empty when plan and build agree.
std::string compare(World& w, long& failedBuilds) {
  std::string base = w.t.path();
  Snapshot before, afterDry, after;
  snapshot(base, "", before);
  std::string outTable = w.sameTable ? "old.vfs" : "out.vfs";
  World::Run dry = w.run(true);
  snapshot(base, "", afterDry);
  std::ostringstream why;
  if (afterDry != before) why << "the dry run changed the scratch folder\n";
  World::Run built = w.run(false);
  snapshot(base, "", after);
  failedBuilds += !built.ok;

  if (dry.ok != built.ok)
    why << "exit status: dry run " << !dry.ok << ", build " << !built.ok << "\n";
  if (dry.action != built.action)
    why << "report step: \"" << dry.action << "\" against \"" << built.action << "\"\n";
  if (dry.description != built.description || dry.number != built.number)
    why << "failure: \"" << dry.description << "\" against \"" << built.description << "\"\n";

  // The plan's lines against the snapshot diff below the link root.
  std::set<std::string> planned, done;
  std::map<std::string, size_t> counted;
  size_t conflicts = 0;
  std::istringstream lines(dry.printed);
  std::string line;
  std::string root = base + "/" + w.linkRoot;
  while (std::getline(lines, line)) {
    if (line.rfind("conflict ", 0) == 0) {
      ++conflicts;
    } else if (line.rfind("summary: ", 0) == 0) {
      unsigned removed = 0, created = 0, added = 0, dropped = 0, conflicting = 0;
      std::sscanf(line.c_str(),
                  "summary: %u to remove, %u to create; table lines: %u added, %u dropped; "
                  "conflicts: %u",
                  &removed, &created, &added, &dropped, &conflicting);
      counted = {{"removed", removed},
                 {"created", created},
                 {"added", added},
                 {"dropped", dropped},
                 {"conflicts", conflicting}};
    } else if (line.rfind("pass over ", 0) != 0) {
      if (!planned.insert(line).second) why << "printed twice: " << line << "\n";
    }
  }
  for (const auto& [path, entry] : before)
    if (path.rfind(w.linkRoot, 0) == 0) {
      auto now = after.find(path);
      if (now == after.end() ||
          !(now->second.type == entry.type && now->second.owner == entry.owner &&
            now->second.mode == entry.mode))
        done.insert("remove " + base + "/" + path);
    }
  bool linkRootMade = !before.count(w.linkRoot) && after.count(w.linkRoot);
  for (const auto& [path, entry] : after)
    if (path.rfind(w.linkRoot, 0) == 0) {
      auto was = before.find(path);
      if (was == before.end() ||
          !(was->second.type == entry.type && was->second.owner == entry.owner &&
            was->second.mode == entry.mode))
        done.insert("create " + base + "/" + path);
    }
  if (linkRootMade) done.erase("remove " + root);  // not there before: nothing removed
  if (planned != done) {
    for (const auto& p : planned)
      if (!done.count(p)) why << "planned, not done: " << p << "\n";
    for (const auto& d : done)
      if (!planned.count(d)) why << "done, not planned: " << d << "\n";
  }
  // The table: unchanged by a failed build; a built one's lines counted by the summary.
  std::string oldOut = before.count(outTable) ? before.at(outTable).bytes : "";
  std::string newOut = after.count(outTable) ? after.at(outTable).bytes : "";
  if (!built.ok && oldOut != newOut) why << "a failed build changed the table\n";
  if (built.ok && dry.ok) {
    std::multiset<std::string> was = linesOf(oldOut), now = linesOf(newOut);
    size_t added = 0;
    for (const auto& l : now) {
      auto found = was.find(l);
      if (found != was.end())
        was.erase(found);
      else
        ++added;
    }
    if (counted["added"] != added || counted["dropped"] != was.size())
      why << "table lines: planned " << counted["added"] << " added, " << counted["dropped"]
          << " dropped; done " << added << " added, " << was.size() << " dropped\n";
    size_t removes = 0, creates = 0;
    for (const auto& p : planned) (p.rfind("remove ", 0) == 0 ? removes : creates)++;
    if (counted["removed"] != removes || counted["created"] != creates)
      why << "summary counts " << counted["removed"] << "/" << counted["created"]
          << " against lines " << removes << "/" << creates << "\n";
    size_t warned = 0;
    for (const auto& w2 : built.warnings)
      warned += w2.find("is given by two merge sources") != std::string::npos;
    if (warned != conflicts || counted["conflicts"] != conflicts)
      why << "conflicts: " << conflicts << " printed, " << counted["conflicts"] << " counted, "
          << warned << " named by the build\n";
  }
  return why.str();
}

// --- Rebuilds with and without the last build's record -------------------------------

// Waits for the clock that stamps file times to move past a tick from now, so that a look
// after it sees every change before it as settled.
void letTheClockTick() {
  auto now = [] {
    struct timespec t {};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000 + t.tv_nsec;
  };
  long long until = now() + 20000000;  // twice the tick a record allows for
  while (now() < until) {
  }
}

// The changes a world undergoes between its builds; "frozen" adds a stray file under a clock
// that never leaves the tick of any change (every look within it).
// "backdated" puts a stray file in a folder and then its modification time back: only its
// change time tells. "beside" and "backdated beside" do the same in the folder holding it (a
// genre folder, whose listing the record may spare).
const char* const kChanges[] = {"nothing",    "stray",  "hidden",          "link",   "chmod",
                                "chown",      "add",    "remove",          "frozen", "backdated",
                                "frozen add", "beside", "backdated beside"};

// Makes the change in w, the same in every world of one seed; said in w's steps.
void change(World& w, const std::string& what, unsigned seed) {
  // Folders holding no folder: a folder made again with its old owner and permissions,
  // its contents too, would look unchanged to the snapshot's diff.
  std::vector<std::string> folders;
  std::vector<std::string> below =
      w.t.has("links") ? w.t.tree("links") : std::vector<std::string>{};
  for (const std::string& p : below)
    if (p.back() == '/' && std::none_of(below.begin(), below.end(), [&](const std::string& q) {
          return q != p && q.back() == '/' && q.rfind(p, 0) == 0;
        }))
      folders.push_back("links/" + p.substr(0, p.size() - 1));
  std::string folder = folders.empty() ? "" : folders[seed / 10 % folders.size()];
  std::string path = w.t / folder;
  w.steps.push_back("then " + what + " " + folder);
  if (what == "nothing" || folder.empty()) return;
  std::string holder = folder.substr(0, folder.rfind('/'));
  if (what == "stray" || what == "frozen") {
    w.t.file(folder + "/stray");
  } else if (what == "backdated" || what == "backdated beside") {
    std::string in = what == "backdated" ? folder : holder;
    struct stat st;
    ::stat((w.t / in).c_str(), &st);
    w.t.file(in + "/stray");
    struct timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
    ::utimensat(AT_FDCWD, (w.t / in).c_str(), times, 0);
  } else if (what == "beside") {
    w.t.file(holder + "/stray");
  } else if (what == "hidden") {
    w.t.file(folder + "/.hidden");
  } else if (what == "link") {
    if (::rmdir(path.c_str()) == 0) w.t.link(w.t / "src", folder);
  } else if (what == "chmod") {
    ::chmod(path.c_str(), 0700);
  } else if (what == "chown") {
    if (::chown(path.c_str(), kServer, kServer) != 0) w.steps.back() += " (not)";
  } else if (what == "add" || what == "frozen add") {
    w.t.folder("src/s0/added");
  } else if (what == "remove") {
    for (const std::string& p : w.t.tree("src/s0"))
      if (p.back() == '/' && p.find('/') == p.size() - 1 &&
          ::rmdir((w.t / ("src/s0/" + p)).c_str()) == 0)
        break;
  }
}

// Everything in the world, its own path taken out of the tables.
Snapshot normalised(World& w) {
  Snapshot out;
  snapshot(w.t.path(), "", out);
  // A state folder inside the world holds each copy's record, named by its own link root.
  std::erase_if(out, [](const auto& entry) {
    return entry.first.find("kelvane/record-") != std::string::npos;
  });
  for (auto& [path, entry] : out)
    for (size_t at; (at = entry.bytes.find(w.t.path())) != std::string::npos;)
      entry.bytes.replace(at, w.t.path().size(), "@");
  return out;
}

// Two copies of one world, each built twice (so that the second build's record has seen
// every folder settled), changed alike, then rebuilt: one with the record, one without.
// Each rebuild's dry run must agree with it, and both must end alike.
std::string compareRebuilds(unsigned seed, long& failedBuilds, long& spared) {
  std::string what = kChanges[seed % (sizeof kChanges / sizeof *kChanges)];
  World with(seed), without(seed);
  if (what.rfind("frozen", 0) == 0)
    with.clock = [](FolderStamp& seen) {
      seen.changedNs = seen.modifiedNs = seen.seenAtNs = 1000000000;
    };
  for (World* w : {&with, &without}) {
    letTheClockTick();
    w->run(false);
    letTheClockTick();
    w->run(false);
    letTheClockTick();
    change(*w, what, seed);
  }
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(
           std::filesystem::path(without.stateFolder) / "kelvane", ignored))
    if (entry.path().filename().string().rfind("record-", 0) == 0)
      std::filesystem::remove(entry.path(), ignored);
  std::string why = compare(with, failedBuilds);
  if (!why.empty()) why = "with the record: " + why;
  size_t said = with.lastPrinted.find("unchanged since the last build's record: ");
  spared += said != std::string::npos && with.lastPrinted.compare(said + 41, 2, "0 ") != 0;
  std::string whyNot = compare(without, failedBuilds);
  if (!whyNot.empty()) why += "without the record: " + whyNot;
  Snapshot a = normalised(with), b = normalised(without);
  for (const auto& [path, entry] : a)
    if (!b.count(path) || !(b.at(path) == entry)) why += "only with the record: " + path + "\n";
  for (const auto& [path, entry] : b)
    if (!a.count(path) || !(a.at(path) == entry)) why += "only without the record: " + path + "\n";
  return why;
}

long envNumber(const char* name, long otherwise) {
  const char* text = std::getenv(name);
  return text && *text ? std::strtol(text, nullptr, 10) : otherwise;
}

TEST(Differential, TheDryRunSaysExactlyWhatTheBuildDoesInRandomWorlds) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a folder of another account";
  unsigned seed = static_cast<unsigned>(envNumber("KELVANE_DIFF_SEED", 1));
  long worlds = envNumber("KELVANE_DIFF_WORLDS", 150);
  long seconds = envNumber("KELVANE_DIFF_SECONDS", 0);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  long tried = 0, failedBuilds = 0, differing = 0;
  for (;; ++seed) {
    if (seconds > 0 ? std::chrono::steady_clock::now() >= end : tried >= worlds) break;
    ++tried;
    World w(seed);
    std::string why = compare(w, failedBuilds);
    if (!why.empty()) {
      ++differing;
      ADD_FAILURE() << why << w.reproducer(seed);
      if (differing >= 5) break;
    }
    ::chmod((w.t / w.linkRoot).c_str(), 0755);
  }
  std::printf(
      "differential: %ld worlds tried (seeds from %ld), %ld built, %ld failed alike, "
      "%ld differing\n",
      tried, envNumber("KELVANE_DIFF_SEED", 1), tried - failedBuilds - differing, failedBuilds,
      differing);
}

TEST(Differential, ARebuildEndsAsTheFullWalkWouldWithTheRecordOrWithout) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a folder of another account";
  unsigned seed = static_cast<unsigned>(envNumber("KELVANE_DIFF_SEED", 1));
  long worlds = envNumber("KELVANE_DIFF_WORLDS", 150) / 3;
  long failedBuilds = 0, differing = 0, spared = 0;
  for (long tried = 0; tried < worlds; ++tried, ++seed) {
    std::string why = compareRebuilds(seed, failedBuilds, spared);
    if (!why.empty()) {
      ADD_FAILURE() << why << World(seed).reproducer(seed) << "  then "
                    << kChanges[seed % (sizeof kChanges / sizeof *kChanges)] << "\n";
      if (++differing >= 5) break;
    }
  }
  std::printf(
      "rebuilds: %ld worlds, %ld rebuilds failed alike, %ld spared visits by the "
      "record, %ld differing\n",
      worlds, failedBuilds, spared, differing);
  // Worlds enough to build at all must have had folders to spare.
  if (worlds >= 20) {
    EXPECT_GT(spared, 0);
  }
}

}  // namespace
}  // namespace kelvane

#endif
