#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/watches.h"
#include "settings/settings.h"

namespace kelvane {

// The watches on what a build reads. A merge source ending in a separator is a folder whose
// entries the build lists: the folder itself is watched (no deeper level: the build lists no
// deeper); when it is missing, the folder that would hold it is watched until it comes back.
// Any other merge source names a single entry that the build looks at in the folder holding
// it, so that folder is watched for that name. The settings file is watched through its
// folder, so that a save by rename is seen too. The build's own table and link root are
// never reasons to build: their names are passed over in the folders holding them, which may
// be watched for a source.
class SourceWatches {
 public:
  SourceWatches(Watches& watches, std::string_view separators);
  ~SourceWatches();
  SourceWatches(const SourceWatches&) = delete;
  SourceWatches& operator=(const SourceWatches&) = delete;

  // Watches what the settings file at datPath and its settings name, dropping the watches
  // of sources no longer named.
  void follow(const std::string& datPath, const Settings& settings);

  // What an event means for the build.
  struct Meaning {
    bool sources = false;   // a merge source, or what it holds, changed
    bool settings = false;  // the settings file changed
  };
  Meaning meaningOf(const WatchEvent& event);
  // Watches everything again, for when changes were lost: a folder may have gone and come
  // back unseen, its watch ended.
  void refresh();
  // Tries again to watch what is not watched yet; sources is true when one that was missing
  // has come back.
  Meaning retry();

  // True while something named could not be watched as it should be.
  bool incomplete() const;
  // True once the system's limit of watches has kept a watch from being made; cleared by
  // asking.
  bool takeLimitReached();

 private:
  enum class Kind {
    Settings,  // the settings file: its name in its folder
    Folder,    // a source whose entries are listed: the folder itself
    Entry,     // a source naming one entry: names starting with its name in its folder
    Own,       // what the build writes: its name in its folder is passed over
  };
  struct Target {
    std::string path;  // as the settings name it
    Kind kind;
    bool direct = false;  // the folder itself is watched (else the folder holding it)
    int watch = -1;       // -1 while nothing is watched
  };
  // Watches a folder source itself, else the folder that holds the target; true when the
  // target is watched as it should be.
  bool watch(Target& target);
  void release(Target& target);
  bool watchedAsMeant(const Target& target) const;
  bool isOwn(int watch, const std::string& name) const;
  std::string parentOf(const std::string& path) const;
  std::string nameOf(const std::string& path) const;

  Watches& watches_;
  std::string_view separators_;
  std::vector<Target> targets_;
  std::map<int, int> uses_;  // one system watch serves every target on one folder
  bool limitReached_ = false;
};

}  // namespace kelvane
