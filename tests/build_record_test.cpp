// The last build's record: one that cannot be trusted is not used, said in one line, and the
// rebuild ends as a full walk does; one that can spares the visits and says how many.
#ifndef _WIN32

#include "engine/build_record.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <sstream>

#include "tests/support/as_account.h"
#include "tests/support/build_run_fixture.h"

namespace kelvane::testing {
namespace {

class Record : public BuildRun {
 public:
  void SetUp() override {
    BuildRun::SetUp();
    platform.stateFolder = t / "state";
    t.folder("state");
    ::chmod((t / "state").c_str(), 0700);
    t.folder("iso/debian");
    t.folder("iso/ubuntu");
  }
  // The record's file (the one there is).
  std::string recordFile() {
    for (const auto& entry : std::filesystem::directory_iterator(t / "state/kelvane"))
      if (entry.path().filename().string().rfind("record-", 0) == 0) return entry.path();
    return "";
  }
  // Builds, waits for the clock to leave the tick of every folder made, builds again (its
  // record has seen every folder settled), then leaves a stray file where a kept record
  // would hide it.
  void buildTwiceThenStray() {
    build({t / "iso/|linux"});
    settle();
    build({t / "iso/|linux"});
    settle();
    t.file("links/linux/debian/stray");
    platform.messages.warnings.clear();
  }
  static void settle() {
    auto now = [] {
      struct timespec c {};
      ::clock_gettime(CLOCK_REALTIME_COARSE, &c);
      return static_cast<long long>(c.tv_sec) * 1000000000 + c.tv_nsec;
    };
    for (long long until = now() + 20000000; now() < until;) {
    }
  }
  std::string dryRunSummary() {
    std::ostringstream out;
    load({t / "iso/|linux"});
    runBuild(platform, state, &out);
    std::string text = out.str();
    return text.substr(text.find("summary: "));
  }
};

TEST_F(Record, AnUnchangedFolderIsTakenFromItAndAChangedOneIsNot) {
  buildTwiceThenStray();
  EXPECT_NE(dryRunSummary().find("1 to remove, 0 to create; table lines: 0 added, 0 dropped; "
                                 "conflicts: 0; unchanged since the last build's record: 3 "
                                 "folders"),
            std::string::npos)
      << "the source, the genre folder (not listed) and ubuntu are unchanged; debian holds the "
         "stray file";
  // Every look settled: debian, emptied, is looked at again once the build is done, and
  // the record then vouches for all four.
  platform.files.playStamps = [](FolderStamp& seen) { seen.seenAtNs += 1000000000; };
  build({t / "iso/|linux"});
  EXPECT_EQ(t.tree("links"), (Names{"linux/", "linux/debian/", "linux/ubuntu/"}));
  EXPECT_TRUE(platform.messages.warnings.empty());
  EXPECT_NE(dryRunSummary().find("record: 4 folders"), std::string::npos);
  // A mirror folder renamed away is there again once built: the record then holds the look
  // at the folder now there, not the one it held of the folder before.
  std::filesystem::rename(t / "links/linux/ubuntu", t / "links/linux/stale");
  build({t / "iso/|linux"});
  EXPECT_EQ(t.tree("links"), (Names{"linux/", "linux/debian/", "linux/ubuntu/"}));
  EXPECT_NE(dryRunSummary().find("record: 4 folders"), std::string::npos);
}

// A record of thousands of folders is written and read in pieces of other sizes: its
// checksum is the same however the bytes were cut, and it is taken.
TEST_F(Record, ARecordOfManyFoldersIsTakenWhole) {
  for (int i = 0; i < 3000; ++i) t.folder("iso/folder-" + std::to_string(i));
  platform.files.playStamps = [](FolderStamp& seen) { seen.seenAtNs += 1000000000; };
  build({t / "iso/|linux"});
  platform.messages.warnings.clear();
  build({t / "iso/|linux"});
  EXPECT_TRUE(platform.messages.warnings.empty()) << platform.messages.warnings[0];
  EXPECT_NE(dryRunSummary().find("record: 3004 folders"), std::string::npos);
  // The first of its mirror folders are named ahead of the walk, by genre folder, while that
  // folder shows what the record saw of it; once it no longer does, it is to be listed.
  auto ahead = [&] {
    auto tree = platform.files.openFolderTree(t / "links");
    FileIdentity root = tree->chain().front();
    LastBuildRecord record(platform, root, settingsFingerprint(state.settings), "links");
    return record.mirrorsAhead(*tree, root.device);
  };
  std::vector<FoldersAhead> named = ahead();
  ASSERT_EQ(named.size(), 1u);
  EXPECT_EQ(named[0].relative, "linux");
  EXPECT_EQ(std::count(named[0].names.begin(), named[0].names.end(), '\0'), 3002);
  EXPECT_EQ(named[0].names.substr(0, 7), std::string("debian\0", 7));
  EXPECT_FALSE(named[0].list);
  t.file("links/linux/stray");
  named = ahead();
  ASSERT_EQ(named.size(), 1u);
  EXPECT_TRUE(named[0].list && named[0].names.empty());
}

// A genre folder that shows what the record saw of it is not listed; anything added in it,
// even with its modification time put back, shows in its change time and has it listed.
TEST_F(Record, AGenreFolderIsListedAgainOnlyWhenItChanged) {
  buildTwiceThenStray();
  ::unlink((t / "links/linux/debian/stray").c_str());
  settle();
  build({t / "iso/|linux"});
  EXPECT_NE(dryRunSummary().find("record: 4 folders"), std::string::npos)
      << "the source, the genre folder and both mirror folders";
  struct stat was;
  ASSERT_EQ(::stat((t / "links/linux").c_str(), &was), 0);
  t.file("links/linux/stray");
  struct timespec times[2] = {{0, UTIME_OMIT}, was.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, (t / "links/linux").c_str(), times, 0), 0);
  EXPECT_NE(dryRunSummary().find("1 to remove"), std::string::npos);
  build({t / "iso/|linux"});
  EXPECT_EQ(t.tree("links"), (Names{"linux/", "linux/debian/", "linux/ubuntu/"}));
}

// A mirror folder that is no longer one of this build's own has its genre folder listed in
// full after all: every mirror folder in it is then judged by that walk's looks alone, the
// changed one before it too.
TEST_F(Record, AGenreFolderListedAfterAllStillWalksEveryChangedMirror) {
  buildTwiceThenStray();  // the stray in debian, which comes before ubuntu
  ::chmod((t / "links/linux/ubuntu").c_str(), 0700);
  settle();
  build({t / "iso/|linux"});
  EXPECT_EQ(t.tree("links"), (Names{"linux/", "linux/debian/", "linux/ubuntu/"}));
}

// The look at a genre folder once the build is done stands for its mirror folders only when
// the record holds each of them: one it could not vouch for (looked at within its own tick)
// is still there for a rebuild to find, and to remove when its source goes.
TEST_F(Record, AGenreFolderIsListedAgainWhenTheRecordLacksOneOfItsMirrors) {
  std::string ubuntu = t / "links/linux/ubuntu";
  platform.files.playStamps = [&](FolderStamp& seen) {
    struct stat st;
    seen.seenAtNs += 1000000000;  // every other look settled
    if (::stat(ubuntu.c_str(), &st) == 0 && seen.id.inode == st.st_ino)
      seen.seenAtNs = seen.changedNs;
  };
  build({t / "iso/|linux"});
  build({t / "iso/|linux"});
  platform.files.playStamps = nullptr;
  ::rmdir((t / "iso/ubuntu").c_str());
  build({t / "iso/|linux"});
  EXPECT_EQ(t.tree("links"), (Names{"linux/", "linux/debian/"}));
}

// A rebuild that finds nothing changed leaves the record as it is; one that changed
// something writes it anew.
TEST_F(Record, OneThatWouldNotChangeIsNotWrittenAgain) {
  buildTwiceThenStray();
  ::unlink((t / "links/linux/debian/stray").c_str());
  settle();
  build({t / "iso/|linux"});
  struct stat before, after;
  ASSERT_EQ(::stat(recordFile().c_str(), &before), 0);
  build({t / "iso/|linux"});
  ASSERT_EQ(::stat(recordFile().c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  t.folder("iso/arch");
  build({t / "iso/|linux"});
  ASSERT_EQ(::stat(recordFile().c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
}

// A refused record is replaced by a new one of this account's, even where the new one would
// hold the very same bytes: the next build takes it.
TEST_F(Record, ARefusedRecordIsReplacedEvenWithTheSameBytes) {
  build({t / "iso/|linux"});
  settle();
  build({t / "iso/|linux"});
  ::chmod(recordFile().c_str(), 0660);
  build({t / "iso/|linux"});
  ASSERT_EQ(platform.messages.warnings.size(), 1u);
  platform.messages.warnings.clear();
  build({t / "iso/|linux"});
  EXPECT_TRUE(platform.messages.warnings.empty()) << platform.messages.warnings[0];
}

struct Tampering {
  const char* name;
  std::function<void(Record&, const std::string& file)> tamper;
  const char* why;   // in the line that says the record is not used
  size_t lines = 1;  // on standard error: a folder others can write takes no new one either
};

class Tampered : public Record, public ::testing::WithParamInterface<Tampering> {};

TEST_P(Tampered, IsNotUsedAndTheRebuildEndsAsAFullWalk) {
  buildTwiceThenStray();
  GetParam().tamper(*this, recordFile());
  build({t / "iso/|linux"});
  EXPECT_EQ(t.tree("links"), (Names{"linux/", "linux/debian/", "linux/ubuntu/"}));
  ASSERT_EQ(platform.messages.warnings.size(), GetParam().lines);
  EXPECT_NE(platform.messages.warnings[0].find(GetParam().why), std::string::npos)
      << platform.messages.warnings[0];
  EXPECT_NE(platform.messages.warnings[0].find("every folder is looked at in full"),
            std::string::npos);
  // The record written in its place is one the next build takes, even where it holds the
  // very bytes of the refused one.
  if (GetParam().lines != 1) return;
  platform.messages.warnings.clear();
  build({t / "iso/|linux"});
  EXPECT_TRUE(platform.messages.warnings.empty()) << platform.messages.warnings[0];
}

void flipLastByte(const std::string& file) {
  std::string bytes = readBytes(file);
  bytes.back() ^= 1;
  writeBytes(file, bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Record, Tampered,
    ::testing::Values(
        Tampering{"missing", [](Record&, const std::string& f) { ::unlink(f.c_str()); },
                  "there is none yet"},
        Tampering{"damaged", [](Record&, const std::string& f) { flipLastByte(f); },
                  "it is damaged"},
        Tampering{"damaged within",
                  [](Record&, const std::string& f) {
                    std::string bytes = readBytes(f);
                    bytes[bytes.size() / 2] ^= 1;
                    writeBytes(f, bytes);
                  },
                  "it is damaged"},
        Tampering{"with bytes after its checksum",
                  [](Record&, const std::string& f) { writeBytes(f, readBytes(f) + "x"); },
                  "it is damaged"},
        Tampering{"cut short", [](Record&, const std::string& f) { ::truncate(f.c_str(), 40); },
                  "it is damaged (cut short)"},
        Tampering{"another version",
                  [](Record&, const std::string& f) {
                    std::string bytes = readBytes(f);
                    bytes[8] = 99;  // the version follows the eight bytes that say what it is
                    writeBytes(f, bytes);
                  },
                  "another version of kelvane wrote it"},
        Tampering{"other settings", [](Record& r, const std::string&) { r.virtualRoot = "/other"; },
                  "it was kept for other settings"},
        Tampering{
            "another account's",
            [](Record&, const std::string& f) { ASSERT_EQ(::chown(f.c_str(), 65534, 65534), 0); },
            "can be changed by the account"},
        Tampering{"open to its group",
                  [](Record&, const std::string& f) { ::chmod(f.c_str(), 0660); },
                  "can be changed by the accounts of its group"},
        Tampering{
            "in a folder others can write",
            [](Record& r, const std::string&) { ::chmod((r.t / "state/kelvane").c_str(), 0777); },
            "any account", 2},
        Tampering{"two names",
                  [](Record& r, const std::string& f) {
                    ASSERT_EQ(::link(f.c_str(), (r.t / "state/second").c_str()), 0);
                  },
                  "it has 2 names"},
        Tampering{"a link",
                  [](Record& r, const std::string& f) {
                    std::string kept = r.t / "state/elsewhere";
                    ::rename(f.c_str(), kept.c_str());
                    ASSERT_EQ(::symlink(kept.c_str(), f.c_str()), 0);
                  },
                  "must be a plain file"}),
    [](const auto& info) { return testName(info.param.name); });

// What a link in a source leads to can go without the source changing: such a source is
// listed again every time.
TEST_F(Record, ASourceHoldingALinkIsListedAgain) {
  t.folder("elsewhere/linked");
  ASSERT_EQ(::symlink((t / "elsewhere/linked").c_str(), (t / "iso/linked").c_str()), 0);
  buildTwiceThenStray();
  ASSERT_EQ(t.tree("links"), (Names{"linux/", "linux/debian/", "linux/debian/stray",
                                    "linux/linked/", "linux/ubuntu/"}));
  ::rmdir((t / "elsewhere/linked").c_str());
  build({t / "iso/|linux"});
  EXPECT_EQ(t.tree("links"), (Names{"linux/", "linux/debian/", "linux/ubuntu/"}));
}

// Root's record, though no other account can change it, tells nothing of what a build of
// the server's own account saw: that account's build does not take it.
TEST_F(Record, RootsOwnRecordIsNoRecordOfAnotherAccount) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to play the server's account";
  constexpr uid_t kServer = 65534;
  ASSERT_EQ(::chown(t.path().c_str(), kServer, kServer), 0);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(t.path()))
    ASSERT_EQ(::lchown(entry.path().c_str(), kServer, kServer), 0);
  {
    AsAccount as(kServer, kServer);
    buildTwiceThenStray();
  }
  ASSERT_EQ(::chown(recordFile().c_str(), 0, 0), 0);
  ::chmod(recordFile().c_str(), 0644);  // readable: only its owner stands in the way
  AsAccount as(kServer, kServer);
  build({t / "iso/|linux"});
  EXPECT_EQ(t.tree("links"), (Names{"linux/", "linux/debian/", "linux/ubuntu/"}));
  ASSERT_FALSE(platform.messages.warnings.empty());
  EXPECT_NE(platform.messages.warnings[0].find("it belongs to the account root"), std::string::npos)
      << platform.messages.warnings[0];
}

// Whether this account may remove anything in a folder is asked once in each folder the walk
// goes through, not once for all: a folder it may not write refuses the removals in it, in
// the dry run as in the build, though the folder before it allowed its own.
TEST_F(Record, AFolderThisAccountMayNotWriteRefusesItsRemovalsInTheDryRunToo) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to play the server's account";
  constexpr uid_t kServer = 65534;
  t.file("links/stray");
  t.folder("links/locked/stale");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(t.path()))
    ASSERT_EQ(::lchown(entry.path().c_str(), kServer, kServer), 0);
  ASSERT_EQ(::chown(t.path().c_str(), kServer, kServer), 0);
  ::chmod((t / "links/locked").c_str(), 0555);
  AsAccount as(kServer, kServer);
  load({t / "iso/|linux"});
  std::ostringstream out;
  EXPECT_THROW(runBuild(platform, state, &out), Failure) << out.str();
}

// A folder the build made is looked at once when it is done, and no listing follows that
// look: it is taken for what the build left only where no other account could write into it
// since. Where the mask leaves new folders open to the group, only a walk's look counts.
TEST_F(Record, AFolderMadeOpenToOthersIsTakenOnlyOnceAWalkHasListedIt) {
  auto takenAfter = [&](mode_t mask, int builds) {
    ::rmdir((t / "links/linux/debian").c_str());
    ::rmdir((t / "links/linux/ubuntu").c_str());
    ::rmdir((t / "links/linux").c_str());
    ::rmdir((t / "links").c_str());
    mode_t was = ::umask(mask);
    // Each build's looks come a second after what they see: every folder is settled.
    platform.files.playStamps = [](FolderStamp& seen) { seen.seenAtNs += 1000000000; };
    for (int i = 0; i < builds; ++i) build({t / "iso/|linux"});
    platform.files.playStamps = nullptr;
    std::string summary = dryRunSummary();
    ::umask(was);
    return summary.substr(summary.find("record: "));
  };
  EXPECT_EQ(takenAfter(022, 1), "record: 4 folders\n");
  EXPECT_EQ(takenAfter(002, 1), "record: 1 folders\n") << "only the source";
  EXPECT_EQ(takenAfter(002, 2), "record: 3 folders\n") << "not the genre folder, not listed";
}

TEST_F(Record, OneThatCannotBeWrittenIsSaidAndTheBuildSucceeds) {
  build({t / "iso/|linux"});
  platform.messages.warnings.clear();
  ::chmod((t / "state/kelvane").c_str(), 0777);  // no record goes where others can write
  build({t / "iso/|linux"});
  EXPECT_EQ(t.tree("links"), (Names{"linux/", "linux/debian/", "linux/ubuntu/"}));
  ASSERT_EQ(platform.messages.warnings.size(), 2u);  // the old one is not read either
  EXPECT_NE(platform.messages.warnings[1].find("could not be kept"), std::string::npos)
      << platform.messages.warnings[1];
  ::chmod((t / "state/kelvane").c_str(), 0700);
  platform.messages.warnings.clear();
  platform.faults.failOn(Op::Rename, 2);  // the table's, then the record's
  build({t / "iso/|linux"});
  ASSERT_EQ(platform.messages.warnings.size(), 1u);
  EXPECT_NE(platform.messages.warnings[0].find("could not be kept"), std::string::npos);
}

// A folder on another device that shows the very inode and times the record holds (played
// here) is something else mounted there: the walk goes in.
TEST_F(Record, AFolderOnAnotherDeviceIsNeverTakenForTheRecordsOne) {
  buildTwiceThenStray();
  ::unlink((t / "links/linux/debian/stray").c_str());
  settle();
  build({t / "iso/|linux"});
  settle();
  struct stat was;
  ASSERT_EQ(::stat((t / "links/linux/debian").c_str(), &was), 0);
  t.file("links/linux/debian/stray");
  platform.files.playStamps = [&](FolderStamp& seen) {
    if (seen.id.inode != was.st_ino) return;
    seen.id.device ^= 1;
    seen.changedNs = was.st_ctim.tv_sec * 1000000000LL + was.st_ctim.tv_nsec;
    seen.modifiedNs = was.st_mtim.tv_sec * 1000000000LL + was.st_mtim.tv_nsec;
  };
  build({t / "iso/|linux"});
  EXPECT_EQ(t.tree("links"), (Names{"linux/", "linux/debian/", "linux/ubuntu/"}));
}

// A folder mounted over a mirror folder shows the mounted folder's identity: never the
// record's, so the walk goes there and refuses it as it always has.
TEST_F(Record, AMountOverAMirrorFolderIsNeverTakenForIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount";
  buildTwiceThenStray();
  ::unlink((t / "links/linux/debian/stray").c_str());
  FolderStamp before, after;
  auto tree = systemFiles().openFolderTree(t / "links/linux");
  ASSERT_TRUE(tree);
  tree->lookAtFolder("debian", before);
  t.folder("elsewhere");
  if (::mount((t / "elsewhere").c_str(), (t / "links/linux/debian").c_str(), nullptr, MS_BIND,
              nullptr) != 0)
    GTEST_SKIP() << "cannot bind-mount here";
  tree->lookAtFolder("debian", after);
  ::umount((t / "links/linux/debian").c_str());
  EXPECT_NE(before.id, after.id);
}

}  // namespace
}  // namespace kelvane::testing

#endif
