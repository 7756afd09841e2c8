// The last build's record on Windows: a rebuild with it ends in the same tree and table as
// one without; a change its looks cannot vouch for leads to the full look, and a record that
// cannot be trusted is not used, said in one line.

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <map>
#include <sstream>

#include "engine/build_record.h"
#include "tests/support/build_run_fixture.h"
#include "tests/win/win_platform_fixture.h"

namespace kelvane::testing {
namespace {

class Worlds;
// A change to the world at folder.
using Change = std::function<void(Worlds&, const std::string& folder)>;

std::string debian(const std::string& world) { return world + "\\links\\linux\\debian"; }

struct WorldChange {
  const char* name;
  Change change;      // between the build that leaves the record and the rebuild
  size_t taken;       // folders the rebuild takes from the record, an unchanged genre folder too
  const char* said;   // why the record is not used; "" when it is
  Change first = {};  // before the first build
};

// Two worlds alike in one scratch folder: full\ rebuilt without a record, kept\ with one.
class Worlds : public BuildRun, public ::testing::WithParamInterface<WorldChange> {
 public:
  // The link root's tree and the table (its paths as full\'s) that the rebuild ends with.
  std::pair<Names, std::string> rebuild(const std::string& world) {
    auto at = [&](const std::string& relative) { return t / (world + "/" + relative); };
    linkRoot = at("links");
    vfs = at("out/table.vfs");
    t.folder(world + "/out");
    t.folder(world + "/iso/debian");
    t.folder(world + "/iso/ubuntu");
    platform.stateFolder = world == "kept" ? t / "state" : "";
    virtualRoot = "/merged";
    if (GetParam().first) GetParam().first(*this, t / world);
    // The second build sees every folder settled, a tick after it was made.
    for (int i = 0; i < 2; ++i, ::Sleep(40)) build({at("iso/|linux")});
    GetParam().change(*this, t / world);
    platform.messages.warnings.clear();
    if (world == "kept") {
      std::ostringstream out;
      load({at("iso/|linux")});
      runBuild(platform, state, &out);
      EXPECT_EQ(out.str().find("record: " + std::to_string(GetParam().taken) + " folders") !=
                    std::string::npos,
                *GetParam().said == '\0')
          << out.str();
    }
    build({at("iso/|linux")});
    platform.files.playStamps = nullptr;
    std::string table = t.read(world + "/out/table.vfs");
    for (size_t i = 0; (i = table.find("\\kept\\", i)) != std::string::npos;)
      table.replace(i + 1, 4, "full");
    return {t.tree(world + "/links"), table};
  }
  std::string record() {
    return recordPath(platform.files, platform.files.chainOf(linkRoot, true).front());
  }
  void tamper(size_t at) {
    std::string bytes = readBytes(record());
    bytes[at < bytes.size() ? at : bytes.size() - 1] ^= 1;
    writeBytes(record(), bytes);
  }

  std::map<uint64_t, FolderStamp> looked;  // by file ID
  bool cannotShow = false;
};

TEST_P(Worlds, ARebuildWithTheRecordEndsAsOneWithout) {
  auto full = rebuild("full");
  auto kept = rebuild("kept");
  if (cannotShow) GTEST_SKIP() << "no file of another account can be made here";
  EXPECT_EQ(kept, full);
  std::vector<std::string>& said = platform.messages.warnings;
  if (*GetParam().said == '\0') {
    EXPECT_EQ(said, std::vector<std::string>{});
  } else {
    EXPECT_EQ(said.size(), 2u) << "the dry run and the build each say it";
    for (const std::string& line : said)
      EXPECT_NE(line.find(std::string(GetParam().said) + "): every folder is looked at in full"),
                std::string::npos)
          << line;
  }
}

Change stray(const char* name) {
  return [=](Worlds&, const std::string& world) { writeBytes(debian(world) + name, ""); };
}
Change tampered(size_t at) {
  return [=](Worlds& w, const std::string&) {
    if (w.platform.stateFolder != "") w.tamper(at);
  };
}

INSTANTIATE_TEST_SUITE_P(
    Changes, Worlds,
    ::testing::Values(
        WorldChange{"nothing", [](Worlds&, const std::string&) {}, 4, ""},
        WorldChange{"a stray file", stray("\\x"), 3, ""},
        WorldChange{"a hidden entry", stray("\\.x"), 3, ""},
        WorldChange{"an attribute and the security",
                    [](Worlds&, const std::string& w) {
                      setAttributes(debian(w), FILE_ATTRIBUTE_READONLY);
                      addAccess(w + "\\links\\linux\\ubuntu", DENY_ACCESS, FILE_WRITE_EA);
                    },
                    2, ""},
        WorldChange{"a source subfolder",
                    [](Worlds&, const std::string& w) { makeFolders(w + "\\iso\\mint"); }, 2, ""},
        // Every look taken within the tick of its folder's last change, then a stray file
        // added in that tick too, leaving the folder's times as they were (both played).
        WorldChange{"a change within the tick",
                    [](Worlds& w, const std::string& world) {
                      stray("\\x")(w, world);
                      w.platform.files.playStamps = [&w](FolderStamp& seen) {
                        if (!w.looked.count(seen.id.inode)) return;
                        seen.changedNs = w.looked[seen.id.inode].changedNs;
                        seen.modifiedNs = w.looked[seen.id.inode].modifiedNs;
                      };
                    },
                    0, "",
                    [](Worlds& w, const std::string&) {
                      w.platform.files.playStamps = [&w](FolderStamp& seen) {
                        seen.seenAtNs = std::max(seen.changedNs, seen.modifiedNs);
                        w.looked[seen.id.inode] = seen;
                      };
                    }},
        WorldChange{"a damaged record", tampered(-1), 0, "it is damaged"},
        WorldChange{"an old version's record", tampered(8), 0,
                    "another version of kelvane wrote it"},
        WorldChange{"a record of other settings",
                    [](Worlds& w, const std::string&) { w.virtualRoot = "/other"; }, 0,
                    "it was kept for other settings"},
        WorldChange{"a record of another account",
                    [](Worlds& w, const std::string&) {
                      // Wine shows a file of another Unix account as another account's.
                      if (w.platform.stateFolder != "" &&
                          !runOnHost("chown 65534 " + hostPath(w.record())))
                        w.cannotShow = true;
                    },
                    0, "it belongs to another account than the one running this build"}),
    [](const auto& info) { return testName(info.param.name); });

}  // namespace
}  // namespace kelvane::testing
