// Following on real folders, with the system's watches and clock played: every change the
// played watch reports is one that happened on disk, whoever made it.
#include "follow/follower.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "tests/support/build_run_fixture.h"
#include "tests/support/played_watches.h"

namespace kelvane::testing {
namespace {

class Following : public BuildRun {
 protected:
  void SetUp() override {
    BuildRun::SetUp();
    vfs = t / "table.vfs";  // beside the settings file, whose folder is watched
    t.folder("a/one");
    t.folder("b/x");
  }
  // The settings with these merge lines, the way the window saves them.
  void save(std::initializer_list<std::string> mergeLines) {
    t.file(settingsFile,
           settingsText({linkRoot, vfs, vfsOld, virtualRoot, "anon", "users", "755"}, mergeLines));
  }
  int run(double settle = 2) { return run(watches, settle); }
  int run(PlayedWatches& played, double settle) {
    return follow(platform, played, state, settle, [&](AppState& s) {
      builds.push_back(played.clock);
      return buildAndReport(platform, s);
    });
  }
  std::function<void()> make(const std::string& folder) {
    return [this, folder] { t.folder(folder); };
  }
  bool mirrored(const std::string& name) { return isFolder(linkRoot + "/" + name); }
  bool said(const std::string& text) {
    for (const auto& line : platform.messages.warnings)
      if (line.find(text) != std::string::npos) return true;
    return false;
  }

  PlayedWatches watches;
  std::vector<double> builds;
};

// A change is built once, a settle period after it; the build's own link root and table,
// made in the settings file's watched folder, start none. The service hears READY after the
// first build and how each went.
TEST_F(Following, AChangeIsBuiltOnceASettlePeriodAfterItAndTheBuildsOwnChangesStartNone) {
  load({t / "a/"});
  watches.at(10, make("a/two"));
  watches.at(100, nullptr);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(builds, (std::vector<double>{0, 12}));
  EXPECT_TRUE(mirrored("two"));
  EXPECT_NE(readBytes(vfs).find(vfsLine(t / "a/two", "/merged/two")), std::string::npos);
  EXPECT_EQ(watches.watchedAtEnd, (std::set<std::string>{t.path(), t / "a/"}));
  ASSERT_GE(watches.told.size(), 3u);
  EXPECT_EQ(watches.told[0], "STATUS=Last build at 0.000000: done, 2 changes");
  EXPECT_EQ(watches.told[1], "READY=1");
  EXPECT_EQ(watches.told[2], "STATUS=Last build at 12.000000: done, 1 change");
}

// The table and the link root may lie in a source folder the build lists: what the build
// writes there is its own and starts no build; a folder made beside them does.
TEST_F(Following, TheBuildsOwnTableAndLinkRootInASourceStartNoBuild) {
  vfs = t / "a/table.vfs";
  linkRoot = t / "a/links";
  load({t / "a/"});
  watches.at(5, nullptr);  // the first build's own changes are seen here
  watches.at(10, [this] {
    t.folder("a/two");
    t.file("a/notes.txt", "one");
  });
  // A file written changes no listing.
  watches.at(20, [this] {
    t.file("a/notes.txt", "two");
    auto time = std::filesystem::last_write_time(t / "a/notes.txt");
    std::filesystem::last_write_time(t / "a/notes.txt", time + std::chrono::seconds(1));
  });
  watches.at(100, nullptr);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(builds, (std::vector<double>{0, 12}));
  EXPECT_TRUE(mirrored("two"));
}

// Changes that keep coming are built at most once per settle period, and at the latest a few
// periods after the first: a burst gives a few builds, the last of which holds all of it.
TEST_F(Following, ABurstOfChangesGivesAFewBuildsTheLastHoldingAll) {
  load({t / "a/"});
  for (int step = 0; step <= 20; ++step)
    watches.at(10 + step * 0.5, [this, step] {
      for (int i = 0; i < 50; ++i) t.folder("a/f" + std::to_string(step * 50 + i));
    });
  watches.at(100, nullptr);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(builds, (std::vector<double>{0, 20}));
  EXPECT_TRUE(mirrored("f0"));
  EXPECT_TRUE(mirrored("f1049"));
}

// A source that goes is watched through the folder that held it, and watched itself again once
// it is made again. Builds that fail (the old table gone with it) are tried again after 2, 4,
// 8 … seconds until one is done.
TEST_F(Following, ASourceRemovedAndMadeAgainIsFollowedAndFailedBuildsAreTriedAgainLater) {
  load({t / "a/"});
  watches.at(10, [this] {
    std::filesystem::remove_all(t / "a");
    std::filesystem::remove(vfsOld);
  });
  watches.at(30, [this] {
    t.folder("a/back");
    t.file("old.vfs", "old|line\r\n");
  });
  watches.at(40, [this] {
    EXPECT_TRUE(mirrored("back"));
    t.folder("a/later");
  });
  // Gone and back while builds go well: seen at once, not at the next retry.
  watches.at(50, [this] { std::filesystem::remove_all(t / "a"); });
  watches.at(55, make("a/later"));
  watches.at(100, nullptr);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(builds, (std::vector<double>{0, 12, 14, 18, 26, 32, 42, 52, 57}));
  EXPECT_TRUE(said("the build failed while "));
  EXPECT_TRUE(said("Following goes on."));
  EXPECT_NE(watches.told[3].find("failed"), std::string::npos) << watches.told[3];
  EXPECT_FALSE(mirrored("back"));
  EXPECT_TRUE(mirrored("later"));
  EXPECT_FALSE(mirrored("one"));
}

// A retry waits for a settle period after the build that failed, and each wait is longer,
// up to a minute.
TEST_F(Following, AFailedBuildIsTriedAgainNoSoonerThanASettlePeriodAfterIt) {
  load({t / "a/"});
  watches.at(10, [this] {
    std::filesystem::remove(vfsOld);
    t.folder("a/two");
  });
  watches.at(200, nullptr);
  EXPECT_EQ(run(5), 0);
  // 2, 4, 8 … seconds, and never more than a minute (81 + 64 would be 145).
  EXPECT_EQ(builds, (std::vector<double>{0, 15, 20, 25, 33, 49, 81, 141}));
}

// A settings edit that adds a source follows it too; one that breaks the file is said and
// the last settings that read stay, their sources still followed.
TEST_F(Following, ASettingsEditAddingASourceFollowsItAndABrokenOneKeepsTheLastGood) {
  load({t / "a/"});
  watches.at(10, [this] { save({t / "a/", t / "b/"}); });
  watches.at(20, make("b/y"));
  watches.at(30, [this] { t.file(settingsFile, "only\r\ntwo lines\r\n"); });
  watches.at(40, make("b/z"));
  watches.at(100, nullptr);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(builds, (std::vector<double>{0, 12, 22, 42}));
  EXPECT_TRUE(mirrored("x"));
  EXPECT_TRUE(mirrored("y"));
  EXPECT_TRUE(mirrored("z"));
  EXPECT_TRUE(said("no longer reads"));
  // Dropping the source again drops its watch and its folders.
  watches.at(110, [this] { save({t / "a/"}); });
  watches.at(200, nullptr);
  EXPECT_EQ(run(), 0);
  EXPECT_FALSE(mirrored("y"));
  EXPECT_EQ(watches.watchedAtEnd, (std::set<std::string>{t.path(), t / "a/"}));
}

// Lost changes, an overflowing queue or a watch the system's limit refused, lead to a build
// of everything and one line naming the limit to raise.
TEST_F(Following, LostChangesLeadToAFullBuildAndOneLineNamingTheLimit) {
  load({t / "a/"});
  // The source made again while changes were lost: its new folder is watched from then on.
  watches.script.push_back({10,
                            [this] {
                              std::filesystem::remove_all(t / "a");
                              t.folder("a/lost");
                            },
                            true});
  watches.script.push_back({20, make("a/lost2"), true});
  watches.at(30, make("a/seen"));
  watches.at(100, nullptr);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(builds, (std::vector<double>{0, 12, 22, 32}));
  EXPECT_TRUE(mirrored("lost"));
  EXPECT_TRUE(mirrored("lost2"));
  EXPECT_TRUE(mirrored("seen"));
  EXPECT_TRUE(said("fs.inotify.max_queued_events"));

  // Room for the settings file's folder only: the source is built again each minute.
  PlayedWatches limited;
  limited.limit = 1;
  limited.at(10, make("a/unseen"));
  limited.at(70, nullptr);
  builds.clear();
  platform.messages.warnings.clear();
  EXPECT_EQ(run(limited, 2), 0);
  EXPECT_EQ(builds, (std::vector<double>{0, 62}));
  EXPECT_TRUE(mirrored("unseen"));
  ASSERT_EQ(platform.messages.warnings.size(), 1u);
  EXPECT_NE(platform.messages.warnings[0].find("fs.inotify.max_user_watches"), std::string::npos);

  // A system with no setting to raise (Windows) names none.
  PlayedWatches unnamed;
  unnamed.noLimitSettings = true;
  unnamed.script.push_back({10, make("a/lost3"), true});
  unnamed.at(20, nullptr);
  platform.messages.warnings.clear();
  EXPECT_EQ(run(unnamed, 2), 0);
  EXPECT_TRUE(mirrored("lost3"));
  ASSERT_EQ(platform.messages.warnings.size(), 1u);
  EXPECT_EQ(platform.messages.warnings[0].find("raise"), std::string::npos);
}

}  // namespace
}  // namespace kelvane::testing
