// The options that stand before a build request: each bad one is refused with exit status 2
// and a line saying how it is written, before anything is read.
#include <gtest/gtest.h>

#include "startup/run_program.h"
#include "tests/support/played_watches.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_platform.h"

namespace kelvane::testing {
namespace {

struct OptionCase {
  const char* name;
  const char* text;  // "?" stands before the settings path, which the test appends
  int status;
  const char* said;  // on standard error; 1: the settings file was looked for
};

class BuildOptions : public ::testing::TestWithParam<OptionCase> {};

TEST_P(BuildOptions, AreRefusedOrTakenAsWritten) {
  const OptionCase& c = GetParam();
  TempFolder dir;
  TestPlatform platform;
  platform.processes.programFolderOverride = dir.path();
  // With no script the played watch asks for an end at once.
  OpenWatches open = [&] { return std::unique_ptr<Watches>(new PlayedWatches()); };
  ::testing::internal::CaptureStderr();
  int status = runProgram(platform, std::string(c.text) + (dir / "missing.dat"), open);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, c.status) << err;
  EXPECT_NE(err.find(c.said), std::string::npos) << err;
  // A refused option reads nothing; a taken one goes on to the settings file, whose absence
  // is reported.
  EXPECT_EQ(platform.messages.shown.size(), c.status == 2 ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuildOptions,
    ::testing::Values(
        OptionCase{"SettleNothing", "--follow --settle  ?", 2, "--settle takes"},
        OptionCase{"SettleZero", "--follow --settle 0 ?", 2, "--settle takes"},
        OptionCase{"SettleBelowATenth", "--follow --settle 0.09 ?", 2, "--settle takes"},
        OptionCase{"SettleOverAnHour", "--follow --settle 3601 ?", 2, "--settle takes"},
        OptionCase{"SettleNegative", "--follow --settle -1 ?", 2, "--settle takes"},
        OptionCase{"SettleWithAUnit", "--follow --settle 2s ?", 2, "--settle takes"},
        OptionCase{"SettleExponent", "--follow --settle 1e3 ?", 2, "--settle takes"},
        OptionCase{"SettlePointOnly", "--follow --settle 2. ?", 2, "--settle takes"},
        OptionCase{"SettleWithoutFollow", "--settle 2 ?", 2, "--settle goes with it"},
        OptionCase{"FollowADryRun", "--follow --dry-run ?", 2, "a dry run does not follow"},
        OptionCase{"FollowWithoutARequest", "--follow ", 2, "--follow takes a build request"},
        OptionCase{"SettleATenth", "--follow --settle 0.1 ?", 1, ""},
        OptionCase{"SettleAnHour", "--settle 3600 --wait 5 --follow ?", 1, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BuildOptions, FollowingWhereTheSystemHasNoWatchesIsRefused) {
  TestPlatform platform;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(runProgram(platform, "--follow ?x.dat"), 2);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("not available"), std::string::npos);
}

}  // namespace
}  // namespace kelvane::testing
