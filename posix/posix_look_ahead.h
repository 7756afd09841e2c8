#pragma once

// Looks at subfolders a walk will ask about, and listings of folders it will list, taken on a
// thread of their own while the build does other work, and handed to the walk when it asks
// for the same names in the same folder, or lists that folder unchanged since.

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/folder_tree.h"
#include "posix/posix_support.h"

namespace kelvane::posix {

// Called, when set, once the looks ahead are all taken: a test waits for it; and when a
// listing taken ahead is handed over.
extern void (*looksAheadTaken)();
extern void (*listingHandedOver)();

class LooksAhead {
 public:
  // One look at name in the open folder, as lookAtFolder takes it: false where it fails.
  using Look = std::function<bool(int folder, const char* name, FolderStamp& seen, bool& own)>;
  // A look at the open folder, then its listing, as listCompact takes it: false where either
  // fails.
  using List = std::function<bool(int folder, FolderStamp& before, FolderListing& listing,
                                  bool& holdsUnlisted)>;

  // A folder to look in, open, with its identity, and the names in it to look at (each
  // followed by a NUL); or, with list, to list. relative: where it is below the tree's own.
  struct Folder {
    Descriptor fd;
    FileIdentity id;
    std::string names;
    bool list = false;
    std::string relative;
  };

  ~LooksAhead() { stop(); }

  // Starts listing the folders to list, then looking at the names of each other folder, in
  // their order, folder after folder, on a thread of its own. Once only: later calls are
  // passed over.
  void start(std::vector<Folder> folders, Look look, List list);
  // Stops the looking, then moves into looks[i] the look taken ahead at names[i] in the
  // folder with identity id, where one was taken, and sets taken[i] (resized to names). A
  // look is handed over once; names are expected in the order they were given in.
  void take(const FileIdentity& id, const std::vector<std::string_view>& names,
            std::vector<FolderLook>& looks, std::vector<char>& taken);
  // True while looks are held that take could hand over.
  bool holdsAny() const;
  // True while a listing taken ahead of the folder at relative may be held; of any folder.
  bool listsAt(std::string_view relative) const;
  bool listsAny() const { return lists_ > 0; }
  // Stops, then moves into listing what was listed ahead of the folder that seen, a look at it
  // now, is of, and lets go of it: true where it was listed after a settled look that seen
  // shows unchanged (no entry added, removed or renamed since), false otherwise.
  bool takeListing(const FolderStamp& seen, FolderListing& listing, bool& holdsUnlisted);
  // Stops looking; the looks taken are kept.
  void stop();
  // Lets go of the looks taken in the folder with identity id.
  void drop(const FileIdentity& id);

 private:
  struct Seen {
    FolderStamp seen;
    bool own = false;
    bool failed = false;  // asked again by the walk, which fails in its own words
  };
  struct Looked {
    Folder folder;
    std::vector<Seen> looks;
    FolderStamp before;  // a listing taken ahead: the look before it
    FolderListing listing;
    bool holdsUnlisted = false;
    bool listed = false;          // read once the thread has ended
    std::atomic<size_t> done{0};  // looks[0, done) are taken
    size_t next = 0, nextAt = 0;  // the first name not handed over or passed, and where it is
  };
  // Whether looked holds looks taken in the folder with identity id.
  static bool looksIn(const std::unique_ptr<Looked>& looked, const FileIdentity& id);

  std::vector<std::unique_ptr<Looked>> folders_;
  size_t lists_ = 0;  // folders_ to list
  std::atomic<bool> stopping_{false};
  std::thread worker_;
};

}  // namespace kelvane::posix
