#include "posix/posix_look_ahead.h"

#include <algorithm>
#include <system_error>

namespace kelvane::posix {

void (*looksAheadTaken)() = nullptr;
void (*listingHandedOver)() = nullptr;

void LooksAhead::start(std::vector<Folder> folders, Look look, List list) {
  // On one core the looks would only take turns with the work they are to go beside.
  if (worker_.joinable() || !folders_.empty() || std::thread::hardware_concurrency() < 2) return;
  for (Folder& folder : folders) {
    auto looked = std::make_unique<Looked>();
    looked->looks.resize(
        static_cast<size_t>(std::count(folder.names.begin(), folder.names.end(), '\0')));
    lists_ += folder.list;
    looked->folder = std::move(folder);
    folders_.push_back(std::move(looked));
  }
  auto lookAtAll = [this, look = std::move(look), list = std::move(list)] {
    // A listing spares the walk more than looks do, which it takes on every core.
    for (auto& looked : folders_) {
      if (stopping_.load(std::memory_order_relaxed)) return;
      if (looked->folder.list)
        looked->listed =
            list(looked->folder.fd.get(), looked->before, looked->listing, looked->holdsUnlisted);
    }
    for (auto& looked : folders_) {
      const char* name = looked->folder.names.c_str();
      for (size_t i = 0; i < looked->looks.size(); ++i) {
        if (stopping_.load(std::memory_order_relaxed)) return;
        Seen& one = looked->looks[i];
        one.failed = !look(looked->folder.fd.get(), name, one.seen, one.own);
        looked->done.store(i + 1, std::memory_order_release);
        name += std::char_traits<char>::length(name) + 1;
      }
    }
    if (looksAheadTaken) looksAheadTaken();
  };
  try {
    worker_ = std::thread(std::move(lookAtAll));
  } catch (const std::system_error&) {
    folders_.clear();  // no thread to be had: the walk looks at them all itself
    lists_ = 0;
  }
}

bool LooksAhead::looksIn(const std::unique_ptr<Looked>& looked, const FileIdentity& id) {
  return !looked->folder.list && looked->folder.id == id;
}

void LooksAhead::stop() {
  stopping_ = true;
  if (worker_.joinable()) worker_.join();
}

void LooksAhead::drop(const FileIdentity& id) {
  stop();
  std::erase_if(folders_, [&](const auto& looked) { return looksIn(looked, id); });
}

bool LooksAhead::holdsAny() const {
  return std::any_of(folders_.begin(), folders_.end(),
                     [](const auto& looked) { return !looked->folder.list; });
}

bool LooksAhead::listsAt(std::string_view relative) const {
  return std::any_of(folders_.begin(), folders_.end(), [&](const auto& looked) {
    return looked->folder.list && looked->folder.relative == relative;
  });
}

bool LooksAhead::takeListing(const FolderStamp& seen, FolderListing& listing, bool& holdsUnlisted) {
  stop();
  auto at = std::find_if(folders_.begin(), folders_.end(), [&](const auto& looked) {
    return looked->folder.list && looked->folder.id == seen.id;
  });
  if (at == folders_.end()) return false;
  Looked& looked = **at;
  // Any entry added, removed or renamed after a settled look changes the folder's times.
  const FolderStamp& before = looked.before;
  bool unchanged = looked.listed && settled(before) && before.id == seen.id &&
                   before.changedNs == seen.changedNs && before.modifiedNs == seen.modifiedNs;
  if (unchanged) {
    std::swap(listing, looked.listing);
    holdsUnlisted = looked.holdsUnlisted;
    if (listingHandedOver) listingHandedOver();
  }
  folders_.erase(at);
  --lists_;
  return unchanged;
}

void LooksAhead::take(const FileIdentity& id, const std::vector<std::string_view>& names,
                      std::vector<FolderLook>& looks, std::vector<char>& taken) {
  stop();
  taken.assign(names.size(), 0);
  auto at = std::find_if(folders_.begin(), folders_.end(),
                         [&](const auto& looked) { return looksIn(looked, id); });
  if (at == folders_.end()) return;
  Looked& looked = **at;
  size_t done = looked.done.load(std::memory_order_acquire);
  const std::string& ahead = looked.folder.names;
  auto passOne = [&] {
    looked.nextAt = ahead.find('\0', looked.nextAt) + 1;
    ++looked.next;
  };
  // A name asked for that was not looked at ahead is passed, as is one looked at ahead that
  // is not asked for: in two lists of one order, each is passed once.
  for (size_t i = 0; i < names.size() && looked.next < done; ++i) {
    auto current = [&] { return std::string_view(ahead.c_str() + looked.nextAt); };
    while (looked.next < done && current() < names[i]) passOne();
    if (looked.next < done && current() == names[i]) {
      const Seen& one = looked.looks[looked.next];
      if (!one.failed) {
        looks[i].seen = one.seen;
        looks[i].own = one.own;
        taken[i] = 1;
      }
      passOne();
    }
  }
  if (looked.next >= done) folders_.erase(at);
}

}  // namespace kelvane::posix
