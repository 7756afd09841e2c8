#pragma once

// What the Windows platform's tests share: a scratch folder with a few entries of each kind,
// and the platform under test.

#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/temp_folder.h"
#include "tests/support/test_platform.h"
#include "tests/win/win_scratch.h"
#include "win/win_file_system.h"
#include "win/win_processes.h"
#include "win/win_support.h"

namespace kelvane::testing {

using Names = std::vector<std::string>;

// The names of entries, folders ending in "\", sorted.
inline Names namesOf(const std::vector<DirEntry>& entries) {
  Names names;
  for (const DirEntry& entry : entries)
    names.push_back(entry.name + (entry.type == EntryType::Folder ? "\\" : ""));
  std::sort(names.begin(), names.end());
  return names;
}

inline void setAttributes(const std::string& path, DWORD attributes) {
  ASSERT_TRUE(::SetFileAttributesW(win::wide(path).c_str(), attributes)) << path;
}

// Adds an entry for Everyone to the access list of the file or folder at path (with
// inheritance, also to what is made in it).
inline void addAccess(const std::string& path, ACCESS_MODE mode, DWORD rights,
                      DWORD inheritance = NO_INHERITANCE) {
  EXPLICIT_ACCESSW entry{rights, mode, inheritance, {}};
  entry.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  entry.Trustee.ptstrName = const_cast<wchar_t*>(L"Everyone");
  std::wstring wide = win::wide(path);
  PACL old = nullptr, acl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(::GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, &old, nullptr, &descriptor),
            ERROR_SUCCESS);
  ASSERT_EQ(::SetEntriesInAclW(1, &entry, old, &acl), ERROR_SUCCESS);
  EXPECT_EQ(::SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, acl, nullptr),
            ERROR_SUCCESS);
  ::LocalFree(acl);
  ::LocalFree(descriptor);
}
// Lets everyone do everything with the file or folder at path.
inline void openToEveryone(const std::string& path, DWORD inheritance = NO_INHERITANCE) {
  addAccess(path, GRANT_ACCESS, GENERIC_ALL, inheritance);
}

inline DWORD attributesOf(const std::string& path) {
  return ::GetFileAttributesW(win::wide(path).c_str());
}

class WinPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    t.file("dir\\a.txt", "a");
    t.folder("dir\\sub");
    t.file("dir\\.dotted", "hidden by its name");
    t.file("dir\\hid.txt", "h");
    t.file("dir\\sys.txt", "s");
    setAttributes(t / "dir\\hid.txt", FILE_ATTRIBUTE_HIDDEN);
    setAttributes(t / "dir\\sys.txt", FILE_ATTRIBUTE_SYSTEM);
  }
  // A Unix link at relative leading to target (both in the scratch folder), which Wine shows
  // as a reparse point; the test skips where none can be made.
  void hostLink(const std::string& target, const std::string& relative) {
    if (!runOnHost("ln -s " + hostPath(t / target) + " " + hostPath(t / relative)))
      GTEST_SKIP() << "no Unix link can be made here";
  }

  WinScratch t;
  SystemPlatform platform;
};

}  // namespace kelvane::testing
