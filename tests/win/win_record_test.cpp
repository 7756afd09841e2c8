// The last build's record on Windows: a rebuild with it ends in the same tree and table as
// one without, whatever changed in between; a change its looks cannot vouch for, and a
// record that cannot be trusted, lead to the full look, said in one line.

#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include <functional>
#include <map>
#include <sstream>

#include "tests/support/build_run_fixture.h"
#include "tests/win/win_platform_fixture.h"

namespace kelvane::testing {
namespace {

class RecordWorld;

struct WorldChange {
  const char* name;
  // What changes between the build that leaves the record and the rebuild.
  std::function<void(RecordWorld&)> change;
  size_t taken;      // folders the rebuild takes from the record
  const char* said;  // in the line that says the record is not used; "" when it is used
  // What changes before the first build.
  std::function<void(RecordWorld&)> before = [](RecordWorld&) {};
};

// Two worlds alike in one scratch folder, full/ rebuilt without a record and kept/ with one.
class RecordWorld : public BuildRun, public ::testing::WithParamInterface<WorldChange> {
 public:
  // What a rebuild ends with: the link root's tree and the table, its paths as full/'s.
  struct End {
    Names tree;
    std::string table;
    friend bool operator==(const End&, const End&) = default;
  };

  End rebuild(const std::string& world) {
    this->world = world;
    linkRoot = at("links");
    vfs = at("out/table.vfs");
    t.folder(world + "/out");
    t.folder(world + "/iso/debian");
    t.folder(world + "/iso/ubuntu");
    platform.stateFolder = world == "kept" ? t / "state" : "";
    virtualRoot = "/merged";
    GetParam().before(*this);
    // The second build has seen every folder settled: the record holds them all.
    build({at("iso/|linux")});
    settle();
    build({at("iso/|linux")});
    settle();
    GetParam().change(*this);
    platform.messages.warnings.clear();
    if (world == "kept") {
      std::ostringstream out;
      load({at("iso/|linux")});
      runBuild(platform, state, &out);
      std::string taken =
          "unchanged since the last build's record: " + std::to_string(GetParam().taken) +
          " folders";
      EXPECT_EQ(out.str().find(taken) != std::string::npos, *GetParam().said == '\0') << out.str();
    }
    build({at("iso/|linux")});
    platform.files.playStamps = nullptr;
    std::string table = t.read(world + "/out/table.vfs");
    for (size_t i = table.find("\\kept\\"); i != std::string::npos; i = table.find("\\kept\\", i))
      table.replace(i + 1, 4, "full");
    return {t.tree(world + "/links"), table};
  }

  // The path of relative in the world being built.
  std::string at(const std::string& relative) { return t / (world + "/" + relative); }
  // Waits out the tick within which a look vouches for nothing.
  static void settle() { ::Sleep(40); }

  std::string recordFile() {
    if (!t.has("state/kelvane")) return "";
    for (const std::string& name : t.tree("state/kelvane"))
      if (name.rfind("record-", 0) == 0) return t / ("state/kelvane/" + name);
    return "";
  }
  // Rewrites the record (when there is one) through change.
  void tamper(const std::function<void(std::string&)>& change) {
    std::string file = recordFile();
    if (file.empty()) return;
    std::string bytes = readBytes(file);
    change(bytes);
    writeBytes(file, bytes);
  }

  std::string world;
  std::map<uint64_t, FolderStamp> recorded;  // what the looks saw, by file ID
  std::string cannotShow;                    // why this system cannot make the change
};

TEST_P(RecordWorld, ARebuildEndsAsTheFullWalkDoes) {
  End full = rebuild("full");
  End kept = rebuild("kept");
  if (!cannotShow.empty()) GTEST_SKIP() << cannotShow;
  EXPECT_EQ(kept.tree, full.tree);
  EXPECT_EQ(kept.table, full.table);
  const char* said = GetParam().said;
  if (*said == '\0') {
    EXPECT_TRUE(platform.messages.warnings.empty()) << platform.messages.warnings[0];
    return;
  }
  ASSERT_FALSE(platform.messages.warnings.empty());
  EXPECT_NE(platform.messages.warnings[0].find(said), std::string::npos)
      << platform.messages.warnings[0];
  EXPECT_NE(platform.messages.warnings[0].find("every folder is looked at in full"),
            std::string::npos);
}

const std::string kDebian = "links/linux/debian";

INSTANTIATE_TEST_SUITE_P(
    Changes, RecordWorld,
    ::testing::Values(
        WorldChange{"nothing", [](RecordWorld&) {}, 3, ""},
        WorldChange{"a stray file",
                    [](RecordWorld& w) { w.t.file(w.world + "/" + kDebian + "/stray"); }, 2, ""},
        WorldChange{"a hidden entry",
                    [](RecordWorld& w) { w.t.file(w.world + "/" + kDebian + "/.hidden"); }, 2, ""},
        WorldChange{"an attribute",
                    [](RecordWorld& w) { setAttributes(w.at(kDebian), FILE_ATTRIBUTE_READONLY); },
                    2, ""},
        WorldChange{"its security", [](RecordWorld& w) { denyAnonymous(w.at(kDebian)); }, 2, ""},
        WorldChange{"opened to everyone", [](RecordWorld& w) { openToEveryone(w.at(kDebian)); }, 2,
                    ""},
        WorldChange{"a source subfolder added",
                    [](RecordWorld& w) { w.t.folder(w.world + "/iso/mint"); }, 2, ""},
        WorldChange{"the folder replaced",
                    [](RecordWorld& w) {
                      ::MoveFileW(win::wide(w.at(kDebian)).c_str(),
                                  win::wide(w.at("elsewhere")).c_str());
                      w.t.folder(w.world + "/" + kDebian);
                    },
                    2, ""},
        // Every look taken within the tick of its folder's last change, then a stray file
        // added in that tick too, which leaves the folder's times as they were (both played).
        WorldChange{"a change within the look's tick",
                    [](RecordWorld& w) {
                      w.t.file(w.world + "/" + kDebian + "/stray");
                      w.platform.files.playStamps = [&w](FolderStamp& seen) {
                        auto it = w.recorded.find(seen.id.inode);
                        if (it == w.recorded.end()) return;
                        seen.changedNs = it->second.changedNs;
                        seen.modifiedNs = it->second.modifiedNs;
                      };
                    },
                    0, "",
                    [](RecordWorld& w) {
                      w.platform.files.playStamps = [&w](FolderStamp& seen) {
                        seen.seenAtNs = std::max(seen.changedNs, seen.modifiedNs);
                        w.recorded[seen.id.inode] = seen;
                      };
                    }},
        WorldChange{"a damaged record",
                    [](RecordWorld& w) { w.tamper([](std::string& b) { b.back() ^= 1; }); }, 0,
                    "it is damaged"},
        WorldChange{"an old version's record",
                    [](RecordWorld& w) { w.tamper([](std::string& b) { b[8] = 0; }); }, 0,
                    "another version of kelvane wrote it"},
        WorldChange{"a record of other settings", [](RecordWorld& w) { w.virtualRoot = "/other"; },
                    0, "it was kept for other settings"},
        WorldChange{"a record of another account",
                    [](RecordWorld& w) {
                      // Wine shows a file of another Unix account as another account's.
                      if (!w.recordFile().empty() &&
                          !runOnHost("chown 65534 " + hostPath(w.recordFile())))
                        w.cannotShow = "no file of another account can be made here";
                    },
                    0, "it belongs to another account"},
        WorldChange{"a record open to everyone",
                    [](RecordWorld& w) {
                      if (!w.recordFile().empty()) openToEveryone(w.recordFile());
                    },
                    0, "it can be changed by"},
        WorldChange{"a record in a folder open to everyone",
                    [](RecordWorld& w) {
                      if (!w.recordFile().empty()) openToEveryone(w.t / "state/kelvane");
                    },
                    0, "could be changed by"},
        WorldChange{"a record with two names",
                    [](RecordWorld& w) {
                      if (!w.recordFile().empty())
                        ::CreateHardLinkW(win::wide(w.t / "state/second").c_str(),
                                          win::wide(w.recordFile()).c_str(), nullptr);
                    },
                    0, "it has 2 names"}),
    [](const auto& info) { return testName(info.param.name); });

}  // namespace
}  // namespace kelvane::testing
