#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/watches.h"
#include "settings/settings.h"

namespace kelvane {

// The watches on what a build reads: each merge source folder, its subfolders appearing,
// going or renamed (no deeper level: the build lists no deeper), and the settings file,
// watched through its folder so that a save by rename is seen too. A source that is missing
// is watched through the folder that would hold it, and watched itself again when it comes
// back. The link root is never watched: what the build makes there starts no build.
class SourceWatches {
 public:
  SourceWatches(Watches& watches, std::string_view separators);
  ~SourceWatches();

  // Watches what the settings file at datPath and its settings name, dropping the watches
  // of sources no longer named.
  void follow(const std::string& datPath, const Settings& settings);

  // What an event means for the build.
  struct Meaning {
    bool sources = false;   // a merge source, or what it holds, changed
    bool settings = false;  // the settings file changed
  };
  Meaning meaningOf(const WatchEvent& event);
  // Tries again to watch what is not watched yet; sources is true when one that was missing
  // has come back.
  Meaning retry();

  // True while something named could not be watched.
  bool incomplete() const;
  // True once the system's limit of watches has kept a watch from being made; cleared by
  // asking.
  bool takeLimitReached();

 private:
  struct Target {
    std::string path;       // the folder, or the file, as the settings name it
    bool isFile = false;    // the settings file: only its own name in its folder counts
    bool direct = false;    // the folder itself is watched (else the folder holding it)
    int watch = -1;         // -1 while nothing is watched
  };
  // Watches the folder itself, else the folder that would hold it; true when the folder
  // itself is now watched.
  bool watch(Target& target);
  void release(Target& target);
  std::string parentOf(const std::string& path) const;
  std::string nameOf(const std::string& path) const;

  Watches& watches_;
  std::string_view separators_;
  std::vector<Target> targets_;
  std::map<int, int> uses_;  // one system watch serves every target on one folder
  bool limitReached_ = false;
};

}  // namespace kelvane
