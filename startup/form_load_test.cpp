#include "startup/form_load.h"

#include <gtest/gtest.h>

#include "base/failure.h"
#include "tests/support/failure_of.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_platform.h"

namespace kelvane {
namespace {

using testing::TempFolder;
using testing::TestPlatform;

const char* const kSettings =
    "/srv/links/\r\n/srv/vfs\r\n/srv/vfs.old\r\n/merged\r\nanon\r\nusers\r\n075\r\n"
    "/data/iso/|linux\r\n/data/mp3/\r\n";

class FormLoad : public ::testing::Test {
 protected:
  FormLoad() { platform.processes.programFolderOverride = dir.path(); }
  TempFolder dir;
  TestPlatform platform;
  AppState state;
};

TEST_F(FormLoad, NoArgumentsOrOnlyQuotesOpenAnEmptyWindow) {
  // kelvane.exe "" (a shortcut's empty argument) names no file either; "?" alone is a build.
  for (const char* text : {"", "\"\"", "\"\"\"\""}) {
    AppState fresh;
    EXPECT_EQ(formLoad(platform, text, fresh), RunMode::WindowEmpty) << text;
    EXPECT_EQ(fresh.datPath, "");
    EXPECT_EQ(fresh.caption, "Kelvane v1.1 by Oduvin");
    // Every box is empty: its hint is shown, never held, so an untouched box saves empty.
    const SettingsTexts& b = fresh.boxes;
    EXPECT_EQ(b.WhereCreate + b.VFS + b.VFSold + b.VirtualR + b.OwnU + b.OwnG + b.CHMOD + b.Lines,
              "");
  }
  EXPECT_EQ(platform.faults.operations(), 0);  // no file is touched
  EXPECT_EQ(testing::failureOf([&] { formLoad(platform, "\"?\"", state); }).action(),
            "Loading dat file");
}

TEST_F(FormLoad, AQuotedPathWithBlanksOpensTheWindowFilled) {
  testing::writeBytes(dir / "my settings.dat", kSettings);
  EXPECT_EQ(formLoad(platform, "\"" + (dir / "my settings.dat") + "\"", state),
            RunMode::WindowLoaded);
  EXPECT_EQ(state.datPath, dir / "my settings.dat");
  EXPECT_EQ(state.caption, "Kelvane v1.1 by Oduvin [my settings.dat]");
  EXPECT_EQ(state.boxes.WhereCreate, "/srv/links/");
  EXPECT_EQ(state.boxes.VFS, "/srv/vfs");
  EXPECT_EQ(state.boxes.VFSold, "/srv/vfs.old");
  EXPECT_EQ(state.boxes.VirtualR, "/merged");
  EXPECT_EQ(state.boxes.OwnU, "anon");
  EXPECT_EQ(state.boxes.OwnG, "users");
  EXPECT_EQ(state.boxes.CHMOD, "75");  // the number's text, leading zero gone
  EXPECT_EQ(state.boxes.Lines, "/data/iso/|linux\r\n/data/mp3/");
}

TEST_F(FormLoad, AQuestionMarkFirstSelectsBuildModeAndIsDropped) {
  testing::writeBytes(dir / "b.dat", kSettings);
  EXPECT_EQ(formLoad(platform, "?" + (dir / "b.dat"), state), RunMode::Build);
  EXPECT_EQ(state.datPath, dir / "b.dat");
  EXPECT_EQ(state.caption, "Kelvane v1.1 by Oduvin [b.dat]");  // set though never shown
  EXPECT_EQ(state.settings.WhereCreate, "/srv/links/");
  // The boxes other than the merge-source box are left alone in build mode.
  EXPECT_EQ(state.boxes.WhereCreate, "");
  EXPECT_EQ(state.boxes.Lines, "/data/iso/|linux\r\n/data/mp3/");
}

TEST_F(FormLoad, ABareNameMissingHereIsLookedUpInTheProgramFolder) {
  const std::string name = "kelvane-form-load-test-only-in-program-folder.dat";
  testing::writeBytes(dir / name, kSettings);
  EXPECT_EQ(formLoad(platform, "?" + name, state), RunMode::Build);
  EXPECT_EQ(state.datPath, dir / name);
}

TEST_F(FormLoad, AQuestionMarkInsideThePathBuildsButStaysInThePath) {
  testing::writeBytes(dir / "b.dat", kSettings);
  std::string argument = dir / "?b.dat";
  Failure failure = testing::failureOf([&] { formLoad(platform, argument, state); });
  EXPECT_EQ(state.datPath, argument) << "an absolute path is taken as given";
  EXPECT_EQ(failure.action(), "Loading dat file");
  EXPECT_EQ(failure.fix(), "Check to see if datfile exists (see above)");
}

TEST(FormLoadPaths, OnlyARelativeNameIsTakenFromTheProgramFolder) {
  for (const char* relative : {"s.dat", "sub/s.dat", "", "s:x"})
    EXPECT_TRUE(isRelativePath(relative, "/")) << relative;
  for (const char* relative : {"s.dat", "sub\\s.dat", "", "1:x", "s.dat:x"})
    EXPECT_TRUE(isRelativePath(relative, "\\/")) << relative;
  EXPECT_FALSE(isRelativePath("/srv/s.dat", "/"));
  for (const char* absolute : {"C:\\s.dat", "z:s.dat", "\\\\server\\share\\s.dat", "/s.dat"})
    EXPECT_FALSE(isRelativePath(absolute, "\\/")) << absolute;
}

TEST_F(FormLoad, AMissingAbsolutePathIsShownAsGiven) {
  const std::string missing = dir / "gone/missing.dat";
  EXPECT_EQ(testing::failureOf([&] { formLoad(platform, "?" + missing, state); }).action(),
            "Loading dat file");
  EXPECT_EQ(state.datPath, missing);
}

TEST_F(FormLoad, StepsAreRecordedForEachFailure) {
  platform.faults.failOn(testing::Op::FileTest);
  Failure failure = testing::failureOf([&] { formLoad(platform, "?x.dat", state); });
  EXPECT_EQ(failure.action(), "Checking to see if dat exists");
  EXPECT_EQ(failure.fix(), "Make sure the datfile specified exists!");

  AppState missing;
  EXPECT_EQ(testing::failureOf([&] { formLoad(platform, "nowhere.dat", missing); }).action(),
            "Loading dat file");
  EXPECT_EQ(missing.datPath, dir / "nowhere.dat");
}

TEST_F(FormLoad, AnEmptyBuildRequestLooksForTheProgramFolderItself) {
  EXPECT_EQ(testing::failureOf([&] { formLoad(platform, "?", state); }).action(),
            "Loading dat file");
  EXPECT_EQ(state.datPath, dir / "");
}

TEST(FileNamePart, IsTheLastComponent) {
  EXPECT_EQ(fileNamePart("/srv/a b.dat", "/"), "a b.dat");
  EXPECT_EQ(fileNamePart("plain.dat", "/"), "plain.dat");
  EXPECT_EQ(fileNamePart("/srv/folder/", "/"), "folder");
  EXPECT_EQ(fileNamePart("/", "/"), "");
  EXPECT_EQ(joinPath("/", "x", '/'), "/x");
  EXPECT_EQ(joinPath("/opt/k", "x", '/'), "/opt/k/x");
  // The platform's separators decide: a "\" is an ordinary character on Linux, and Windows
  // reads "/" as one too.
  EXPECT_EQ(fileNamePart("C:\\k\\a.dat", "\\/"), "a.dat");
  EXPECT_EQ(fileNamePart("C:\\k/a.dat/", "\\/"), "a.dat");
  EXPECT_EQ(fileNamePart("/srv/a\\b.dat", "/"), "a\\b.dat");
  EXPECT_EQ(joinPath("C:\\", "x", '\\'), "C:\\x");
}

TEST_F(FormLoad, OpenTakesTheFileNameExactlyAndNeverBuilds) {
  KELVANE_LINUX_ONLY("Windows names cannot hold \"?\" or quotes");
  // A "?" anywhere, a leading "?" and quotes are all part of the name.
  for (std::string name : {"what?.dat", "?lead.dat", "say \"hi\" now.dat"}) {
    AppState fresh;
    testing::writeBytes(dir / name, kSettings);
    EXPECT_EQ(formLoad(platform, "--open " + (dir / name), fresh), RunMode::WindowLoaded) << name;
    EXPECT_EQ(fresh.datPath, dir / name);
    EXPECT_EQ(fresh.boxes.VFS, "/srv/vfs");
  }
}

TEST_F(FormLoad, OpenAloneOpensTheEmptyWindow) {
  EXPECT_EQ(formLoad(platform, "--open", state), RunMode::WindowEmpty);
  EXPECT_EQ(state.boxes.Lines, "");
  AppState other;
  EXPECT_EQ(formLoad(platform, "--open ", other), RunMode::WindowEmpty);
}

TEST_F(FormLoad, OpenLooksARelativeNameUpInTheProgramFolderAndFailsLikeAnyLoad) {
  KELVANE_LINUX_ONLY("Windows names cannot hold \"?\"");
  testing::writeBytes(dir / "there?.dat", kSettings);
  EXPECT_EQ(formLoad(platform, "--open there?.dat", state), RunMode::WindowLoaded);
  EXPECT_EQ(state.datPath, dir / "there?.dat");
  AppState missing;
  EXPECT_EQ(testing::failureOf([&] { formLoad(platform, "--open gone?.dat", missing); }).action(),
            "Loading dat file");
}

TEST_F(FormLoad, OnlyTheWholeWordOpenSelectsIt) {
  // "--opener?x" keeps its old meaning: a build of "--opener" + "?x".
  EXPECT_FALSE(isOpenRequest("--opener?x"));
  EXPECT_FALSE(isOpenRequest("?--open x"));
  EXPECT_TRUE(isOpenRequest("--open x"));
}

}  // namespace
}  // namespace kelvane
