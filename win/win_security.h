#pragma once

// Who a file or folder belongs to and who may open it, from the security the system keeps on
// it: what a build checks before it keeps a folder or follows a link, and the security of the
// lock files it makes.

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kelvane::win {

// A SID as its bytes, and what each account may do, by its SID.
using Sid = std::string;
using Rights = std::map<Sid, ACCESS_MASK>;

// What a folder made now in parent would let each account do: the permissions it inherits
// from parent (or the running account's default ones where parent passes none on). Read once
// for all the subfolders of parent.
class FreshFolder {
 public:
  explicit FreshFolder(HANDLE parent);  // opened with READ_CONTROL
  // True when folder (opened with READ_CONTROL, a subfolder of parent) belongs to the running
  // account and lets no one do more than a folder made now would.
  bool isLike(HANDLE folder) const;
  // True when a folder made now would let an account other than the running one and the
  // system's own do any of rights (or when parent's security could not be read).
  bool letsOthers(ACCESS_MASK rights) const;

 private:
  bool read_ = false;
  Rights grants_, passes_;
};

// The account that owns link (a reparse point opened itself, with READ_CONTROL), as the
// system names it, when that is neither the owner of folder (the one listed), the system's
// own account nor the Administrators; "" otherwise.
std::string foreignOwnerOf(HANDLE link, HANDLE folder);

// True when h (opened with READ_CONTROL) belongs to the running account: its user, or the
// owner its token gives what it makes.
bool ownedByRunningAccount(HANDLE h);

// The account, as the system names it, that owns h (opened with READ_CONTROL) or may do any
// of rights to it, when that is neither the running account, the system's own, the
// Administrators, TrustedInstaller nor the owner of alsoOwnerOf (when given, opened with
// READ_CONTROL); "" when there is none. Permissions that only pass on to what is made in h do
// not count; with no permissions at all, everyone may do everything.
std::string strangerWithRights(HANDLE h, ACCESS_MASK rights, HANDLE alsoOwnerOf = nullptr);

// False when the security of folder (any handle to it) keeps the running account from making
// a subfolder in it, as the system would decide when asked to make one; true where it lets it
// or where this account may not read that security (the system then answers an opening of
// the folder for that right).
bool mayAddSubfolder(HANDLE folder);

// The security of a lock file made in folder (opened with READ_CONTROL): only the builders may
// open it, the running account, the folder's owner (whose build guards what is in it), the
// system's own account and the Administrators, so that no other account can hold it, open it
// without sharing, or stand a file of its own in its place.
class LockSecurity {
 public:
  explicit LockSecurity(HANDLE folder);
  LockSecurity(const LockSecurity&) = delete;
  LockSecurity& operator=(const LockSecurity&) = delete;
  PSECURITY_DESCRIPTOR get() { return &descriptor_; }

 private:
  std::vector<BYTE> acl_;
  SECURITY_DESCRIPTOR descriptor_{};
};

}  // namespace kelvane::win
