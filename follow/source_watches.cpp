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
  start = start == std::string::npos ? 0 : start + 1;
  return path.substr(start, end - start + 1);
}

std::string SourceWatches::parentOf(const std::string& path) const {
  size_t end = path.find_last_not_of(separators_);
  if (end == std::string::npos) return "";  // the root: nothing holds it
  size_t start = path.find_last_of(separators_, end);
  if (start == std::string::npos) return ".";
  size_t parentEnd = path.find_last_not_of(separators_, start);
  return parentEnd == std::string::npos ? path.substr(0, start + 1) : path.substr(0, parentEnd + 1);
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

bool SourceWatches::watchedAsMeant(const Target& target) const {
  return target.watch >= 0 && (target.kind != Kind::Folder || target.direct);
}

bool SourceWatches::watch(Target& target) {
  release(target);
  WatchStart start;
  if (target.kind == Kind::Folder) {
    start = watches_.watchFolder(target.path);
    target.direct = start.result == WatchStart::Watching;
  }
  std::string parent = parentOf(target.path);
  if (!target.direct && start.result != WatchStart::LimitReached && !parent.empty())
    start = watches_.watchFolder(parent);
  // Missing the build's own names costs at most one needless build: no reason to build all.
  if (start.result == WatchStart::LimitReached && target.kind != Kind::Own) limitReached_ = true;
  if (start.result != WatchStart::Watching) return false;
  target.watch = start.watch;
  ++uses_[start.watch];
  return watchedAsMeant(target);
}

void SourceWatches::follow(const std::string& datPath, const Settings& settings) {
  std::vector<Target> wanted{{datPath, Kind::Settings}};
  for (const MergeSource& source : settings.sources) {
    if (source.path.empty()) continue;
    bool listsFolder = separators_.find(source.path.back()) != std::string_view::npos;
    wanted.push_back({source.path, listsFolder ? Kind::Folder : Kind::Entry});
  }
  for (const std::string* own : {&settings.VFS, &settings.WhereCreate})
    if (!own->empty()) wanted.push_back({*own, Kind::Own});
  // Kept where already watched, so that a reload misses nothing in between.
  std::vector<Target> kept;
  for (Target& want : wanted) {
    auto at = std::find_if(targets_.begin(), targets_.end(), [&](const Target& t) {
      return t.path == want.path && t.kind == want.kind;
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

bool SourceWatches::isOwn(int watch, const std::string& name) const {
  return std::any_of(targets_.begin(), targets_.end(), [&](const Target& t) {
    return t.kind == Kind::Own && t.watch == watch && nameOf(t.path) == name;
  });
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
      target.direct = false;
      if (target.kind == Kind::Settings) meaning.settings = true;
      if (target.kind == Kind::Folder || target.kind == Kind::Entry) meaning.sources = true;
      watch(target);
    }
    return meaning;
  }
  // The listing never shows a hidden name, so no build would see it (the table's temporary
  // file and the locks are such names); the table and the link root are the build's own.
  if (isHiddenName(event.name) || isOwn(event.watch, event.name)) return meaning;
  for (Target& target : targets_) {
    if (target.watch != event.watch) continue;
    std::string name = nameOf(target.path);
    switch (target.kind) {
      case Kind::Settings:
        if (event.name == name) meaning.settings = true;
        break;
      case Kind::Folder:
        // A file written changes no listing; a folder made again, or put in place, is
        // watched itself from now on.
        if (target.direct) {
          meaning.sources = meaning.sources || !event.written;
        } else if (event.name == name) {
          meaning.sources = true;
          watch(target);
        }
        break;
      case Kind::Entry:
        // The entry, and what the build looks for beside it (its name twice).
        if (!event.written && event.name.compare(0, name.size(), name) == 0) meaning.sources = true;
        break;
      case Kind::Own:
        break;
    }
  }
  return meaning;
}

void SourceWatches::refresh() {
  for (Target& target : targets_) release(target);
  for (Target& target : targets_) watch(target);
}

SourceWatches::Meaning SourceWatches::retry() {
  Meaning meaning;
  for (Target& target : targets_) {
    if (watchedAsMeant(target) || !watch(target)) continue;
    if (target.kind == Kind::Settings) meaning.settings = true;
    if (target.kind == Kind::Folder || target.kind == Kind::Entry) meaning.sources = true;
  }
  return meaning;
}

bool SourceWatches::incomplete() const {
  return std::any_of(targets_.begin(), targets_.end(),
                     [this](const Target& t) { return t.kind != Kind::Own && !watchedAsMeant(t); });
}

bool SourceWatches::takeLimitReached() { return std::exchange(limitReached_, false); }

}  // namespace kelvane
