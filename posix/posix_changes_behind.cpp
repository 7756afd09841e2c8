#include "posix/posix_changes_behind.h"

#include <sys/resource.h>

#include <algorithm>
#include <system_error>
#include <utility>

namespace kelvane::posix {

namespace {

// Changes handed to the thread at a time: one wake-up each, not one a change.
constexpr size_t kHandOver = 32;
// Changes the walk may be ahead by.
constexpr size_t kMaxQueued = 128;
// Descriptors held for changes not made yet: each emptied folder's stays open until the
// thread has made its changes, and a walk of a deep tree under a low limit of open files
// must not run out because of them. Under the usual limits the walk hands over a hundred
// renames before it waits, not eight.
size_t maxHeldDescriptors() {
  struct rlimit open;
  rlim_t limit = ::getrlimit(RLIMIT_NOFILE, &open) == 0 ? open.rlim_cur : 0;
  return std::clamp<rlim_t>(limit / 8, 16, 128);
}

}  // namespace

void (*walkWaitsBehind)() = nullptr;

ChangesBehind::ChangesBehind(Act act) : act_(std::move(act)), maxHeld_(maxHeldDescriptors()) {}

ChangesBehind::~ChangesBehind() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    for (Change& change : mine_) queued_.push_back(std::move(change));
    mine_.clear();
    ending_ = true;
  }
  work_.notify_one();
  thread_.join();
}

void ChangesBehind::ask(Change change) {
  if (!behind_ && change.what != What::Close && std::thread::hardware_concurrency() >= 2) {
    try {
      thread_ = std::thread([this] { run(); });
      behind_ = true;
    } catch (const std::system_error&) {
      // No thread to be had: each change is made as it is asked.
    }
  }
  if (!behind_) {
    actOn(change);
    return;
  }
  mineHeld_ += change.closing.get() >= 0;
  mine_.push_back(std::move(change));
  if (mine_.size() >= kHandOver || mineHeld_ >= maxHeld_ / 2) handOver();
  if (!failing_) return;
  std::exception_ptr failed;
  {
    std::lock_guard lock(mutex_);
    failed = failed_;
  }
  std::rethrow_exception(failed);
}

void ChangesBehind::handOver() {
  std::vector<Descriptor> spent;
  {
    std::unique_lock lock(mutex_);
    // Once full, the walk waits until the thread has caught up halfway, not for each change.
    if (queued_.size() >= kMaxQueued || held_ + mineHeld_ > maxHeld_) {
      if (walkWaitsBehind) walkWaitsBehind();
      room_.wait(lock, [this] { return (queued_.empty() && held_ <= maxHeld_ / 2) || failed_; });
    }
    for (Change& change : mine_) queued_.push_back(std::move(change));
    held_ += mineHeld_;
    spent.swap(spent_);
  }
  mine_.clear();
  mineHeld_ = 0;
  work_.notify_one();
}

void ChangesBehind::finish(std::vector<NotRenamed>& notRenamed) {
  taking_ = false;
  if (behind_) {
    handOver();
    {
      std::lock_guard lock(mutex_);
      ending_ = true;
    }
    work_.notify_one();
    thread_.join();
    spent_.clear();
    behind_ = ending_ = false;
  }
  failing_ = false;
  if (failed_) std::rethrow_exception(std::exchange(failed_, nullptr));
  for (NotRenamed& left : notRenamed_) notRenamed.push_back(std::move(left));
  notRenamed_.clear();
}

void ChangesBehind::actOn(Change& change) {
  if (change.what == What::Close)
    change.closing.reset();
  else if (!act_(change))
    notRenamed_.push_back({change.where, change.to});
}

void ChangesBehind::run() {
  std::vector<Change> batch;
  bool stopped = false;  // a change failed: no later one is made
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      work_.wait(lock, [this] { return !queued_.empty() || ending_; });
      if (queued_.empty()) return;
      batch.swap(queued_);
    }
    for (Change& change : batch) {
      if (change.what != What::Close && !stopped) {
        try {
          actOn(change);
        } catch (...) {
          stopped = true;
          std::lock_guard lock(mutex_);
          failed_ = std::current_exception();
          failing_ = true;
          room_.notify_one();
        }
      }
      if (change.closing.get() >= 0) {
        // A Close is what the walk asked for; a rename's descriptor the walk closes itself.
        if (change.what == What::Close) change.closing.reset();
        std::lock_guard lock(mutex_);
        if (change.closing.get() >= 0) spent_.push_back(std::move(change.closing));
        if (--held_ == maxHeld_ / 2) room_.notify_one();
      }
    }
    batch.clear();
    std::lock_guard lock(mutex_);
    if (queued_.empty()) room_.notify_one();
  }
}

}  // namespace kelvane::posix
