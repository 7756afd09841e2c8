#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "base/failure.h"
#include "engine/link_root_check.h"
#include "tests/support/build_run_fixture.h"

namespace kelvane {
namespace {

using testing::BuildRun;
using testing::testName;
using Names = std::vector<std::string>;

// --- Refusals: before anything is deleted --------------------------------------------------

struct Refusal {
  const char* name;
  std::function<void(BuildRun&)> arrange;
  const char* says;  // in the failure's description: its own reason
};

// For gtest's listing and messages, which would show the bytes of the object.
void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

class BuildRefusal : public BuildRun, public ::testing::WithParamInterface<Refusal> {};

TEST_P(BuildRefusal, FailsInThePhaseOneStepAndTouchesNothing) {
  t.file("links/keep");
  t.folder("links/mirror");
  t.folder("iso/debian");
  t.file("out/table.vfs", "before\r\n");
  std::string source = t / "iso/";
  GetParam().arrange(*this);
  if (IsSkipped()) return;
  load({genre.empty() ? source : source + "|" + genre, ""});
  auto before = t.tree("");
  try {
    runBuild(platform, state);
    ADD_FAILURE() << "built with " << GetParam().name;
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), kErrRefused);
    EXPECT_NE(failure.description().find(GetParam().says), std::string::npos)
        << failure.description();
    EXPECT_EQ(failure.action(), "Checking the folder to create structure in");
    EXPECT_NE(failure.fix(), "");
  }
  EXPECT_EQ(t.tree(""), before);
  EXPECT_EQ(t.read("out/table.vfs"), "before\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuildRefusal,
    ::testing::Values(
        Refusal{"empty", [](BuildRun& b) { b.linkRoot = ""; }, "is empty"},
        // Windows reads "/" as a separator too: the root of the current drive.
        Refusal{"root", [](BuildRun& b) { b.linkRoot = "/"; }, "root of a file system"},
        Refusal{"root by dots",
                [](BuildRun& b) {
                  // One ".." more than the scratch folder is deep, wherever the
                  // temporary folder is.
                  std::string up = "..";
                  for (char c : b.t.path())
                    if (c == testing::kSeparator) up += "/..";
                  b.linkRoot = b.t / up;
                },
                "root of a file system"},
        Refusal{"is source", [](BuildRun& b) { b.linkRoot = b.t / "iso"; }, "is the merge source"},
        Refusal{"holds source", [](BuildRun& b) { b.linkRoot = b.t.path(); },
                "holds the merge source"},
        Refusal{"holds source through a link",
                [](BuildRun& b) {
                  KELVANE_LINUX_ONLY("makes links");
                  b.t.link(b.t.path(), "alias");
                  b.linkRoot = b.t / "alias/";
                },
                "holds the merge source"},
        Refusal{"holds input table",
                [](BuildRun& b) {
                  b.t.file("links/old.vfs", "old\r\n");
                  b.vfsOld = b.t / "links/old.vfs";
                },
                "holds the input VFS file"},
        Refusal{"holds output table",
                [](BuildRun& b) {
                  b.t.file("links/table.vfs", "before\r\n");
                  b.vfs = b.t / "links/table.vfs";
                },
                "holds the output VFS file"},
        // The system takes "ln/.." as the folder holding the link's target.
        Refusal{"is source by dots after a link",
                [](BuildRun& b) {
                  KELVANE_LINUX_ONLY("makes links");
                  b.t.folder("iso/.hidden");
                  b.t.link(b.t / "iso/.hidden", "links/ln");
                  b.linkRoot = b.t / "links/ln/..";
                },
                "is the merge source"},
        Refusal{"holds a link to the output table",
                [](BuildRun& b) {
                  KELVANE_LINUX_ONLY("makes links");
                  b.t.link(b.t / "out/table.vfs", "links/vfs-link");
                  b.vfs = b.t / "links/vfs-link";
                },
                "output VFS file"},
        Refusal{"output is the settings file", [](BuildRun& b) { b.vfs = b.t / "settings.dat"; },
                "is the settings file"},
        Refusal{"output is the settings file with no link root yet",
                [](BuildRun& b) {
                  b.linkRoot = b.t / "new-links";
                  b.vfs = b.t / "settings.dat";
                },
                "is the settings file"},
        Refusal{"holds the settings file",
                [](BuildRun& b) { b.settingsFile = "links/settings.dat"; },
                "holds the settings file"},
        Refusal{"output is a link to the settings file",
                [](BuildRun& b) {
                  KELVANE_LINUX_ONLY("makes links");
                  b.t.link(b.t / "settings.dat", "dat-link");
                  b.vfs = b.t / "dat-link";
                },
                "settings file"},
        Refusal{"something mounted below",
                [](BuildRun& b) { b.platform.files.mountsBelowLinkRoot = {b.t / "links/mirror"}; },
                "mounted below the link root"},
        Refusal{"bar in the virtual root", [](BuildRun& b) { b.virtualRoot = "/a|b"; },
                "virtual root"},
        Refusal{"bar in a genre", [](BuildRun& b) { b.genre = "a|b"; }, "genre"},
        Refusal{"dots in a genre", [](BuildRun& b) { b.genre = "a/../../b"; }, "\"..\" part"},
        Refusal{"bar in the link root written into the root entry",
                [](BuildRun& b) { b.linkRoot = b.t / "li|nks"; }, "\"|\""}),
    [](const auto& info) { return testName(info.param.name); });

TEST(LinkRootCheck, EmptyMergeLineTakesNoPart) {
  char here[4096];
  ASSERT_NE(::getcwd(here, sizeof here), nullptr);
  testing::TestPlatform platform;
  ASSERT_NE(platform.files.resolvedPath(here), "/");
  AppState state;
  state.settings.WhereCreate = std::string(here) + testing::kSeparator;
  state.settings.sources = {{"", ""}, {"", "genre"}};
  state.settings.VFS = state.settings.VFSold = "/nonexistent-kelvane/table.vfs";
  state.datPath = "/nonexistent-kelvane/settings.dat";
  auto tree = platform.files.openFolderTree(state.settings.WhereCreate);
  EXPECT_NO_THROW(refuseUnsafeLinkRoot(platform, tree.get(), here, state));
}

// The nearest cases to each refusal still build: names that start like the link root,
// genres that only look like "..", a link below the link root to somewhere else.
TEST_F(BuildRun, SiblingsThatStartLikeWhatIsRefusedStillBuild) {
  KELVANE_LINUX_ONLY("makes links");
  t.folder("links-src/debian");
  t.folder("links/stale");
  t.link(t / "links-src", "links/to-source");
  vfs = t / "links.vfs";
  build({t / "links-src/|a..b"});
  EXPECT_EQ(t.tree("links"), (Names{"a..b/", "a..b/debian/"}));
  EXPECT_EQ(t.tree("links-src"), Names{"debian/"});
  EXPECT_TRUE(t.has("links.vfs"));

  // A link root that is a link this account made: the build empties and fills its target.
  t.folder("real-links/stale");
  t.link(t / "real-links", "linked");
  linkRoot = t / "linked";
  build({t / "links-src/"});
  EXPECT_EQ(t.tree("real-links"), Names{"debian/"});
  EXPECT_FALSE(t.isFolder("linked"));
}

}  // namespace
}  // namespace kelvane
