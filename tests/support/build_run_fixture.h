#pragma once

// A build from a settings file the way the program runs one: start-up reads it, then the
// build, in a scratch tree with the fake platform.

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "engine/build_run.h"
#include "startup/form_load.h"
#include "tests/support/scratch_tree.h"
#include "tests/support/test_platform.h"

namespace kelvane::testing {

using Names = std::vector<std::string>;

// Builds from a settings file the way the program does: start-up reads it, then the build.
class BuildRun : public ::testing::Test {
 public:
  void SetUp() override {
    linkRoot = t / "links";
    vfs = t / "out/table.vfs";
    vfsOld = t / "old.vfs";
    t.folder("out");
    t.file("old.vfs", "old|line\r\n");
  }

  void load(std::initializer_list<std::string> mergeLines) {
    t.file(settingsFile,
           testing::settingsText({linkRoot, vfs, vfsOld, virtualRoot, "anon", "users", "755"},
                                 mergeLines));
    state = AppState();
    ASSERT_EQ(formLoad(platform, "?" + (t / settingsFile), state), RunMode::Build);
  }
  void build(std::initializer_list<std::string> mergeLines) {
    load(mergeLines);
    runBuild(platform, state);
  }
  // The folders directly in path, in the order its listing gives them.
  Names listed(const std::string& path) {
    Names names;
    for (const auto& entry : systemFiles().listFolder(path))
      if (entry.type == EntryType::Folder && entry.name[0] != '.') names.push_back(entry.name);
    return names;
  }

  ScratchTree t;
  TestPlatform platform;
  AppState state;
  std::string linkRoot, vfs, vfsOld, virtualRoot = "/merged";
  std::string settingsFile = "settings.dat";  // relative to t
  std::string genre;                          // of the refusal cases' merge source
};

// text with everything but letters and digits made "_", as a test name must be.
inline std::string testName(std::string text) {
  for (char& c : text)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return text;
}

}  // namespace kelvane::testing
