// A reconciling build ends with the link root as removing everything and making the new
// layout would leave it, whatever the old mirror held; and its dry run lists exactly what
// the build then removes and creates, changing nothing itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <sstream>

#include "base/failure.h"
#include "engine/build_run.h"
#include "startup/form_load.h"
#include "tests/support/scratch_tree.h"
#include "tests/support/test_platform.h"

namespace kelvane {
namespace {

using testing::ScratchTree;
using testing::TestPlatform;
using Paths = std::set<std::string>;

const char* const kNames[] = {"a", "b", "linux", "music", "x"};

// One generated case: an old mirror under links/ and sources whose layout it is brought to.
struct Case {
  explicit Case(unsigned seed) : random(seed) {
    int sources = pick(3) + 1;
    for (int i = 0; i < sources; ++i) {
      std::string source = "src/s" + std::to_string(i) + "/";
      std::string genre = pick(3) == 0 ? "" : kNames[pick(5)];
      if (!genre.empty() && pick(4) == 0) genre += std::string("/") + kNames[pick(5)];
      for (const char* name : kNames)
        if (pick(2)) t.folder(source + name);
      mergeLines.push_back(t / (source + "|" + genre));
      genres.push_back(genre);
    }
    t.folder("links");
    oldMirror("links", 3);
  }

  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }

  // Random folders, files, links and hidden entries, a few levels deep.
  void oldMirror(const std::string& folder, int depth) {
    for (const char* name : kNames) {
      std::string path = folder + "/" + name;
      switch (pick(6)) {
        case 0:
          t.file(path, "old");
          break;
        case 1:
          if (testing::kMakesLinks)
            t.link(pick(2) ? t / "src" : t / "nowhere", path);
          else
            t.file(path, "in place of a link");
          break;
        case 2:
        case 3:
          t.folder(path);
          if (depth > 1) oldMirror(path, depth - 1);
          break;
      }
    }
    if (pick(8) == 0) t.file(folder + "/.hidden", "h");
  }

  // The folders of the new layout, with the levels that lead to them, below links/.
  Paths layout() {
    Paths folders;
    for (size_t i = 0; i < genres.size(); ++i) {
      std::string genre = genres[i].empty() ? "" : genres[i] + "/";
      auto names = t.tree("src/s" + std::to_string(i));
      // A genre folder is made for the folders it holds; a source without any has none.
      if (names.empty()) continue;
      for (size_t at = genre.find('/'); at != std::string::npos; at = genre.find('/', at + 1))
        folders.insert(genre.substr(0, at + 1));
      for (const auto& name : names) folders.insert(genre + name);
    }
    return folders;
  }

  std::string settings() {
    std::string text =
        t / "links\r\n" + t / "out.vfs\r\n" + t / "old.vfs\r\n" + "/m\r\nu\r\ng\r\n755\r\n";
    for (const auto& line : mergeLines) text += line + "\r\n";
    return text;
  }

  // Runs a build (or a dry run) from the case's settings; false when it failed.
  bool build(std::ostream* dryRun = nullptr) {
    t.file("old.vfs", "old\r\n");
    t.file("settings.dat", settings());
    TestPlatform platform;
    AppState state;
    formLoad(platform, "?" + (t / "settings.dat"), state);
    try {
      runBuild(platform, state, dryRun);
      return true;
    } catch (const Failure& failure) {
      failed = failure.description();
      return false;
    }
  }

  std::mt19937 random;
  ScratchTree t;
  std::vector<std::string> mergeLines, genres;
  std::string failed;
};

Paths below(ScratchTree& t, const std::string& folder) {
  auto names = t.tree(folder);
  return {names.begin(), names.end()};
}

TEST(Reconcile, EndsAsRemovingEverythingAndMakingTheLayoutWouldAndTheDryRunSaysSoFirst) {
  int built = 0;
  for (unsigned seed = 1; seed <= 80; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Case c(seed);
    Paths before = below(c.t, "links");
    std::ostringstream plan;
    bool planned = c.build(&plan);
    ASSERT_EQ(below(c.t, "links"), before) << "the dry run changed the link root";
    ASSERT_FALSE(c.t.has("out.vfs"));

    // What may not be removed: hidden entries in folders the layout keeps stay, one in a
    // folder that goes stops the build; a genre whose first level is missing cannot be made.
    Paths expected = c.layout();
    bool mustFail = false;
    for (const std::string& path : before) {
      auto slash = path.rfind('/', path.size() - 2);
      std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
      if (path.find(".hidden") == std::string::npos) continue;
      if (folder.empty() || expected.count(folder)) {
        expected.insert(path);
      } else {
        mustFail = true;
      }
    }
    // Rows are made in source order: a two-level genre needs its first level there already.
    Paths made;
    for (size_t i = 0; i < c.genres.size(); ++i) {
      const std::string& genre = c.genres[i];
      auto names = c.t.tree("src/s" + std::to_string(i));
      if (names.empty()) continue;
      std::string first = genre.substr(0, genre.find('/') + 1);
      if (genre.find('/') != std::string::npos && !before.count(first) && !made.count(first))
        mustFail = true;
      for (const auto& name : names) made.insert((genre.empty() ? "" : genre + "/") + name);
    }

    bool ok = c.build();
    if (!mustFail) {
      EXPECT_EQ(ok, planned) << c.failed;
    }
    if (mustFail) {
      EXPECT_FALSE(ok) << plan.str();
      continue;
    }
    ASSERT_TRUE(ok) << c.failed;
    ++built;
    Paths after = below(c.t, "links");
    EXPECT_EQ(after, expected);

    // The dry run's lines are what the build removed and created.
    Paths listed, changed;
    std::string line;
    std::istringstream lines(plan.str());
    while (std::getline(lines, line))
      if (line.rfind("summary: ", 0) != 0 && line.rfind("conflict ", 0) != 0) listed.insert(line);
    std::string root = c.t / "links/";
    for (const std::string& path : before)
      if (!after.count(path)) changed.insert("remove " + root + testing::native(path));
    for (const std::string& path : after)
      if (!before.count(path)) changed.insert("create " + root + testing::native(path));
    auto strip = [](Paths paths) {
      Paths out;
      for (std::string p : paths) {
        while (!p.empty() && (p.back() == testing::kSeparator || p.back() == '@')) p.pop_back();
        out.insert(p);
      }
      return out;
    };
    EXPECT_EQ(strip(listed), strip(changed));
  }
  EXPECT_GT(built, 30);
}

}  // namespace
}  // namespace kelvane
