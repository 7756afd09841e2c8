// Makes every operation of a representative build fail in turn and checks that each time the
// run ends in the report under the step that failed, with a fix, the output table is exactly
// as before, no temporary file is left and nothing outside the link root has changed.
#include <gtest/gtest.h>

#include <set>

#include "base/failure.h"
#include "startup/run_program.h"
#include "tests/support/build_tree.h"
#include "tests/support/test_platform.h"

namespace kelvane::testing {
namespace {

const std::set<std::string> kBuildActions = {
    "Waiting for other builds of the link root and the output VFS file",
    "Checking to see if dat exists",
    "Loading dat file",
    "Checking the folder to create structure in",
    "Deleting old structure",
    "Mapping out directory structure",
    "Creating the physical merge path if it doesn't exist",
    "Creating substructure (if exists)",
    "Creating merged structure",
};

// What follows label on its line of the report.
std::string reportLine(const std::string& report, const std::string& label) {
  auto at = report.find(label);
  if (at == std::string::npos) return "";
  at += label.size();
  return report.substr(at, report.find("\r\n", at) - at);
}

bool isKnownAction(const std::string& action) {
  return kBuildActions.count(action) || action.rfind("Reading old VFS file (", 0) == 0 ||
         action.rfind("Writing new VFS file (", 0) == 0 ||
         action.rfind("Writing path to merge folder in new VFS file (", 0) == 0 ||
         action.rfind("Adding merged path entry to the new VFS file (", 0) == 0;
}

// The steps an operation of each kind may fail under, for the kinds that belong to one part
// of the build only.
bool fitsTheStep(const std::string& report, const std::string& action) {
  auto injected = [&](const char* op) {
    return report.find(std::string("Injected fault in ") + op + " ") != std::string::npos;
  };
  if (injected("delete file") || injected("remove folder"))
    return action == "Deleting old structure";
  if (injected("create folder"))
    return action == "Creating the physical merge path if it doesn't exist" ||
           action == "Creating substructure (if exists)" || action == "Creating merged structure";
  if (injected("write"))
    return action.find("VFS file (") != std::string::npos && action.rfind("Reading", 0) != 0;
  return true;
}

void sweep(bool sameTables) {
  long total = 0;
  {
    BuildTree tree(sameTables);
    TestPlatform platform;
    platform.processes.programFolderOverride = tree.dir / "program";
    ASSERT_EQ(runProgram(platform, "?" + tree.settingsPath()), 0);
    total = platform.faults.operations();
    ASSERT_NE(tree.outputBytes(), tree.originalOutput);
  }
  ASSERT_GT(total, 20);
  for (long k = 1; k <= total; ++k) {
    SCOPED_TRACE("operation " + std::to_string(k) + " of " + std::to_string(total));
    BuildTree tree(sameTables);
    makeFolders(tree.dir / "program");
    auto outsideBefore = BuildTree::snapshot(tree.outside);
    auto sourcesBefore = BuildTree::snapshot(tree.dir / "src");
    TestPlatform platform;
    platform.processes.programFolderOverride = tree.dir / "program";
    platform.faults.failAt(k);
    ASSERT_EQ(runProgram(platform, "?" + tree.settingsPath()), 1);
    std::string report = readBytes(tree.dir / "program/kelvaneerrors.txt");
    std::string action = reportLine(report, "Action when error occured : ");
    EXPECT_TRUE(isKnownAction(action)) << action;
    EXPECT_NE(reportLine(report, "Recommended FIX : "), "") << report;
    EXPECT_TRUE(fitsTheStep(report, action)) << report;
    EXPECT_EQ(tree.outputBytes(), tree.originalOutput);
    EXPECT_EQ(BuildTree::snapshot(tree.dir / "out").size(), 1u) << "a temporary file is left";
    EXPECT_EQ(BuildTree::snapshot(tree.outside), outsideBefore);
    EXPECT_EQ(BuildTree::snapshot(tree.dir / "src"), sourcesBefore);
    if (::testing::Test::HasFailure()) return;
  }
}

TEST(FaultSweep, EveryOperationOfABuildWithTwoTables) { sweep(false); }

TEST(FaultSweep, EveryOperationOfABuildThatRewritesItsOwnTable) { sweep(true); }

}  // namespace
}  // namespace kelvane::testing
