#include "follow/source_watches.h"

#include <algorithm>
#include <utility>

#include "base/hidden_name.h"

namespace kelvane {

SourceWatches::SourceWatches(Watches& watches, std::string_view separators)
    : watches_(watches), separators_(separators) {}

SourceWatches::~SourceWatches() {
  for (Target& target : targets_) release(target);
}

std::string SourceWatches::nameOf(const std::string& path) const {
  size_t end = path.find_last_not_of(separators_);
  if (end == std::string::npos) return "";
  size_t start = path.find_last_of(separators_, end);
  return path.substr(start == std::string::npos ? 0 : start + 1,
                     end - (start == std::string::npos ? 0 : start + 1) + 1);
}

std::string SourceWatches::parentOf(const std::string& path) const {
  size_t end = path.find_last_not_of(separators_);
  if (end == std::string::npos) return "";  // the root: nothing holds it
  size_t start = path.find_last_of(separators_, end);
  if (start == std::string::npos) return ".";
  size_t parentEnd = path.find_last_not_of(separators_, start);
  return parentEnd == std::string::npos ? path.substr(0, start + 1)
                                        : path.substr(0, parentEnd + 1);
}

void SourceWatches::release(Target& target) {
  if (target.watch < 0) return;
  auto use = uses_.find(target.watch);
  if (use != uses_.end() && --use->second == 0) {
    uses_.erase(use);
    watches_.unwatch(target.watch);
  }
  target.watch = -1;
  target.direct = false;
}

bool SourceWatches::watch(Target& target) {
  release(target);
  WatchStart start;
  if (!target.isFile) {
    start = watches_.watchFolder(target.path);
    target.direct = start.result == WatchStart::Watching;
  }
  std::string parent = parentOf(target.path);
  if (!target.direct && start.result != WatchStart::LimitReached && !parent.empty())
    start = watches_.watchFolder(parent);
  if (start.result == WatchStart::LimitReached) limitReached_ = true;
  if (start.result != WatchStart::Watching) return false;
  target.watch = start.watch;
  ++uses_[start.watch];
  return target.direct;
}

void SourceWatches::follow(const std::string& datPath, const Settings& settings) {
  std::vector<Target> wanted{{datPath, true}};
  for (const MergeSource& source : settings.sources)
    if (!source.path.empty()) wanted.push_back({source.path});
  // Kept where already watched, so that a reload misses nothing in between.
  std::vector<Target> kept;
  for (Target& want : wanted) {
    auto at = std::find_if(targets_.begin(), targets_.end(), [&](const Target& t) {
      return t.path == want.path && t.isFile == want.isFile;
    });
    if (at != targets_.end()) {
      kept.push_back(*at);
      targets_.erase(at);
    } else {
      kept.push_back(want);
      watch(kept.back());
    }
  }
  for (Target& gone : targets_) release(gone);
  targets_ = std::move(kept);
}

SourceWatches::Meaning SourceWatches::meaningOf(const WatchEvent& event) {
  Meaning meaning;
  if (event.folderGone) {
    // Every target seen through that folder loses its watch; each is watched again,
    // through the folder that holds it if it went itself.
    uses_.erase(event.watch);
    for (Target& target : targets_) {
      if (target.watch != event.watch) continue;
      target.watch = -1;
      (target.isFile ? meaning.settings : meaning.sources) = true;
      watch(target);
    }
    return meaning;
  }
  // The listing never shows a hidden name, so no build would see it (the table's
  // temporary file is one).
  if (isHiddenName(event.name)) return meaning;
  for (Target& target : targets_) {
    if (target.watch != event.watch) continue;
    if (target.direct) {
      meaning.sources = true;
    } else if (event.name == nameOf(target.path)) {
      (target.isFile ? meaning.settings : meaning.sources) = true;
      if (!target.isFile) watch(target);  // a source made again, or put in place
    }
  }
  return meaning;
}

SourceWatches::Meaning SourceWatches::retry() {
  Meaning meaning;
  for (Target& target : targets_) {
    bool watchedItself = target.direct || (target.isFile && target.watch >= 0);
    if (watchedItself) continue;
    if (watch(target) && !target.isFile) meaning.sources = true;
  }
  return meaning;
}

bool SourceWatches::incomplete() const {
  return std::any_of(targets_.begin(), targets_.end(), [](const Target& t) {
    return t.watch < 0 || (!t.isFile && !t.direct);
  });
}

bool SourceWatches::takeLimitReached() { return std::exchange(limitReached_, false); }

}  // namespace kelvane
