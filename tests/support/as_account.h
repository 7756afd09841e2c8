#pragma once

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace kelvane::testing {

// Runs as another account for as long as it lives (the effective user, the group of the same
// number, and one group it belongs to), so that every check the system makes is that
// account's; root again after. Uid 0 changes nothing.
class AsAccount {
 public:
  AsAccount(uid_t uid, gid_t member) : uid_(uid) {
    if (uid_ == 0) return;
    groups_.resize(static_cast<size_t>(::getgroups(0, nullptr)));
    groups_.resize(
        static_cast<size_t>(::getgroups(static_cast<int>(groups_.size()), groups_.data())));
    if (::setgroups(1, &member) != 0 || ::setegid(uid_) != 0 || ::seteuid(uid_) != 0)
      ADD_FAILURE() << "cannot become uid " << uid_;
  }
  ~AsAccount() {
    if (uid_ == 0) return;
    if (::seteuid(0) != 0 || ::setegid(0) != 0 || ::setgroups(groups_.size(), groups_.data()) != 0)
      std::abort();  // a test going on as another account would prove nothing
  }
  AsAccount(const AsAccount&) = delete;
  AsAccount& operator=(const AsAccount&) = delete;

 private:
  uid_t uid_;
  std::vector<gid_t> groups_;
};

}  // namespace kelvane::testing
