// A failure in any step of start-up or of a build gives a report naming that very step and a
// fix the user can act on, whichever step ran before it.
#include <gtest/gtest.h>

#include "startup/run_program.h"
#include "tests/support/build_run_fixture.h"

namespace kelvane {
namespace {

using testing::Op;
using testing::opName;

struct StepFault {
  Op op;
  int nth;             // counted over the whole run, start-up included
  const char* action;  // "%" stands for the output table's path, "#" for the input's
  bool linkRootMissing = false;
};

class ReportStep : public testing::BuildRun, public ::testing::WithParamInterface<StepFault> {
 protected:
  // What follows label on its line of the report.
  std::string reportLine(const std::string& label) {
    std::string report = t.read("program/kelvaneerrors.txt");
    auto at = report.find(label);
    if (at == std::string::npos) return "<no line " + label + ">";
    at += label.size();
    return report.substr(at, report.find("\r\n", at) - at);
  }
};

TEST_P(ReportStep, NamesTheStepThatFailedAndAFix) {
  const StepFault& fault = GetParam();
  t.file("old.vfs", "old one\r\nold two\r\n");
  t.folder("iso/debian");
  t.folder("program");
  if (!fault.linkRootMissing) t.file("links/stale/file");
  t.file(settingsFile,
         testing::settingsText({linkRoot, vfs, vfsOld, virtualRoot, "anon", "users", "755"},
                               {t / "iso/|linux"}));
  platform.processes.programFolderOverride = t / "program";
  platform.faults.failOn(fault.op, fault.nth);
  EXPECT_EQ(runProgram(platform, "?" + (t / settingsFile)), 1);

  std::string action = fault.action;
  if (auto at = action.find('%'); at != std::string::npos) action.replace(at, 1, vfs);
  if (auto at = action.find('#'); at != std::string::npos) action.replace(at, 1, vfsOld);
  EXPECT_EQ(reportLine("Action when error occured : "), action);
  EXPECT_NE(reportLine("Recommended FIX : "), "");
  EXPECT_NE(reportLine("Error description : ").find("Injected fault"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, ReportStep,
    ::testing::Values(
        StepFault{Op::FileTest, 1, "Checking to see if dat exists"},
        StepFault{Op::Read, 1, "Loading dat file"},
        StepFault{Op::Lock, 1, "Waiting for other builds of the link root and the output VFS file"},
        StepFault{Op::Lock, 2, "Waiting for other builds of the link root and the output VFS file"},
        StepFault{Op::OpenFolder, 1, "Checking the folder to create structure in"},
        StepFault{Op::Open, 2, "Reading old VFS file (#)"},
        StepFault{Op::Open, 3, "Writing new VFS file (%)"},
        StepFault{Op::Read, 2, "Reading old VFS file (#)"},
        StepFault{Op::Write, 1, "Writing new VFS file (%)"},
        StepFault{Op::List, 1, "Mapping out directory structure"},
        StepFault{Op::Delete, 1, "Deleting old structure"},
        StepFault{Op::Write, 3, "Writing path to merge folder in new VFS file (%)"},
        StepFault{Op::CreateFolder, 1, "Creating the physical merge path if it doesn't exist",
                  true},
        StepFault{Op::CreateFolder, 1, "Creating substructure (if exists)"},
        StepFault{Op::CreateFolder, 2, "Creating merged structure"},
        StepFault{Op::Write, 4, "Adding merged path entry to the new VFS file (%)"},
        StepFault{Op::Rename, 1, "Writing new VFS file (%)"}),
    [](const auto& info) {
      const StepFault& fault = info.param;
      return testing::testName(std::string(opName(fault.op)) + " " + std::to_string(fault.nth) +
                               (fault.linkRootMissing ? " no link root" : ""));
    });

}  // namespace
}  // namespace kelvane
