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
        OptionCase{"SettleWithoutFollow", "--settle 2 ?", 2, "--settle goes with it"},
        OptionCase{"FollowADryRun", "--follow --dry-run ?", 2, "a dry run does not follow"},
        OptionCase{"FollowWithoutARequest", "--follow ", 2, "--follow takes a build request"},
        OptionCase{"InAnyOrder", "--settle 3600 --wait 5 --follow ?", 1, ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvane::testing
