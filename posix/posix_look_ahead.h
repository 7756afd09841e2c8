#pragma once

// Looks at subfolders a walk will ask about, taken on a thread of their own while the build
// does other work, and handed to the walk when it asks for the same names in the same folder.

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

// Called, when set, once the looks ahead are all taken: a test waits for it.
extern void (*looksAheadTaken)();

class LooksAhead {
 public:
  // One look at name in the open folder, as lookAtFolder takes it: false where it fails.
  using Look = std::function<bool(int folder, const char* name, FolderStamp& seen, bool& own)>;

  // A folder to look in, open, with its identity, and the names in it to look at (each
  // followed by a NUL).
  struct Folder {
    Descriptor fd;
    FileIdentity id;
    std::string names;
  };

  ~LooksAhead() { stop(); }

  // Starts looking at the names of each folder, in their order, folder after folder, on a
  // thread of its own. Once only: later calls are passed over.
  void start(std::vector<Folder> folders, Look look);
  // Stops the looking, then moves into looks[i] the look taken ahead at names[i] in the
  // folder with identity id, where one was taken, and sets taken[i] (resized to names). A
  // look is handed over once; names are expected in the order they were given in.
  void take(const FileIdentity& id, const std::vector<std::string_view>& names,
            std::vector<FolderLook>& looks, std::vector<char>& taken);
  // True while looks are held that take could hand over.
  bool holdsAny() const { return !folders_.empty(); }
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
    std::atomic<size_t> done{0};  // looks[0, done) are taken
    size_t next = 0, nextAt = 0;  // the first name not handed over or passed, and where it is
  };
  std::vector<std::unique_ptr<Looked>> folders_;
  std::atomic<bool> stopping_{false};
  std::thread worker_;
};

}  // namespace kelvane::posix
