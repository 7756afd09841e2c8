#include "posix/posix_table_flags.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "base/failure.h"

namespace kelvane::posix {

void refuseUnchangeableTable(const PathTarget& r, const std::string& path, const char* source) {
  if (!r.exists || r.name.empty()) return;
  // statx says what FS_IOC_GETFLAGS would, without opening the table: the check needs no
  // right to read it.
  struct statx st {};
  if (::statx(r.folder.get(), r.name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &st) != 0)
    throw systemFailure(errno, "Cannot look at file", path, source);
  const auto flag = [&](unsigned long long bit) {
    return (st.stx_attributes_mask & bit) != 0 && (st.stx_attributes & bit) != 0;
  };
  const char* what = flag(STATX_ATTR_IMMUTABLE) ? "immutable (chattr +i)"
                     : flag(STATX_ATTR_APPEND)  ? "append-only (chattr +a)"
                                                : nullptr;
  if (what == nullptr) return;
  throw Failure(EPERM,
                "The output VFS file \"" + path + "\" is " + what +
                    ": it can be neither replaced nor rewritten, so nothing was removed",
                source,
                "Clear the flag (chattr -i -a, as root) if the table is meant to change, or "
                "name another output VFS file in the dat");
}

}  // namespace kelvane::posix
