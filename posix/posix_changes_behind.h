#pragma once

// The changes a walk asks for, made on a thread of their own in the order asked, while the
// walk reads on: emptying and renaming a hundred thousand stale folders then takes both
// cores, the walk opening and listing the next folders while the last ones are changed.

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "posix/posix_support.h"

namespace kelvane::posix {

// Called, when set, as the walk starts to wait for the thread to catch up: a test counts then
// what the changes not made yet hold open.
extern void (*walkWaitsBehind)();

class ChangesBehind {
 public:
  enum class What { DeleteFile, RemoveFolder, RenameFolder, Close };
  // One change in the open folder `folder` (which must stay open until the change is made:
  // it is closed by a Close asked after it). where: that folder's path, for messages.
  struct Change {
    What what = What::Close;
    int folder = -1;
    std::string where = {}, name = {}, to = {};
    bool isFolder = false;  // DeleteFile: what the look before it saw
    // Closed once the change is made: a Close's, or the renamed folder's own (or none).
    Descriptor closing = Descriptor();
  };
  // Makes one change, failing in its own words; for a RenameFolder, false when to was
  // taken, and from was removed instead.
  using Act = std::function<bool(const Change&)>;
  // A rename that found to taken.
  struct NotRenamed {
    std::string where, to;
  };

  explicit ChangesBehind(Act act);
  // Makes what is still asked, raising nothing: whatever fails is dropped.
  ~ChangesBehind();

  // From now until finish, ask may hand its change to the thread.
  void start() { taking_ = true; }
  bool taking() const { return taking_; }
  // Makes change now, or, once a change was handed to the thread, after those asked before
  // it. Raises the first failure of a change asked before, and makes nothing after it. A
  // Close is made now unless changes are behind.
  void ask(Change change);
  // Waits until every change asked is made, then raises the first that failed; otherwise
  // adds the renames that found their name taken to notRenamed. ask makes changes now again.
  void finish(std::vector<NotRenamed>& notRenamed);

 private:
  void handOver();
  void run();
  void actOn(Change& change);

  Act act_;
  size_t maxHeld_;  // descriptors the thread may hold for changes not made yet
  bool taking_ = false;
  bool behind_ = false;         // a thread makes the changes
  std::vector<Change> mine_;    // asked, not handed over yet
  size_t mineHeld_ = 0;         // the descriptors among them
  std::vector<Change> queued_;  // handed over, not taken by the thread yet
  size_t held_ = 0;             // descriptors handed over, their changes not made yet
  // Renamed folders' descriptors the thread is done with, closed by the walk's thread when it
  // hands over the next changes: a close each is a fifth of what a stale folder costs the
  // thread, which is the busier of the two. With those held, never more than the last hand
  // over left with the thread.
  std::vector<Descriptor> spent_;
  std::vector<NotRenamed> notRenamed_;
  std::exception_ptr failed_;
  std::atomic<bool> failing_ = false;  // failed_ is set: the walk asks without waiting on the lock
  bool ending_ = false;
  std::mutex mutex_;
  std::condition_variable work_, room_;
  std::thread thread_;
};

}  // namespace kelvane::posix
