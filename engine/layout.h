#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/dir_table.h"
#include "platform/file_types.h"

namespace kelvane {

// The folders a build leaves under the link root, known from the scan before anything is
// removed: genre folders (and the levels leading to them) form a small tree, and each holds
// its mirror folders, one per scanned name. A folder of the layout that the walk finds
// already there is marked present, so that it is neither removed nor created again.
class Layout {
 public:
  // What one look saw of a mirror folder on the link root's file system; inode 0 for none.
  struct MirrorStamp {
    uint64_t inode = 0;
    int64_t changedNs = 0, modifiedNs = 0;
    // True when seen, a look at a folder on device, shows what this look saw: the same
    // folder, neither changed nor written into since.
    bool shows(const FolderStamp& seen, uint64_t device) const {
      return inode != 0 && seen.tickNs > 0 && seen.id.device == device && seen.id.inode == inode &&
             seen.changedNs == changedNs && seen.modifiedNs == modifiedNs;
    }
  };

  class Node;
  using Genres = std::map<std::string, Node, std::less<>>;
  class Node {
   public:
    Genres genres;                          // the levels of genre paths below
    std::vector<std::string_view> mirrors;  // sorted, each name once
    // Beside mirrors where the build keeps a record (else empty): what the last build's
    // record saw of each, then what this build saw of what it left.
    std::vector<MirrorStamp> stamps;
    // For a genre folder that holds no genre folder, where the build keeps a record: what the
    // last build's record saw of the folder itself once that build was done, when it then
    // held exactly these mirrors (inode 0 otherwise); and what this build saw of it when done.
    MirrorStamp recorded, left;
    // That kind of genre folder: below the link root, holding no genre folder.
    bool holdsOnlyMirrors() const { return !isRoot_ && genres.empty(); }

    // The index of name among mirrors, or -1.
    long mirrorIndex(std::string_view name) const;

    // Marks this genre folder, or its mirror folder at index, as there (found by the walk,
    // or made); true when it was not marked yet, that is when it still has to be made.
    // index, for the mirror ones, is what mirrorIndex gave for a name of this node, never -1.
    bool markPresent() { return !std::exchange(present_, true); }
    bool markMirrorPresent(size_t index) {
      bool missing = !mirrorPresent_[index];
      mirrorPresent_[index] = true;
      return missing;
    }
    bool mirrorIsPresent(size_t index) const { return mirrorPresent_[index]; }
    // A mirror folder marked present that was not made after all: it is made with the others.
    void markMirrorMissing(size_t index) { mirrorPresent_[index] = false; }

   private:
    friend class Layout;
    std::vector<bool> mirrorPresent_;  // beside mirrors
    bool present_ = false;
    bool isRoot_ = false;
  };

  // The table and separators must outlive the layout: mirror names point into the table, and
  // genreNode splits a genre path's levels at any of separators.
  Layout(const DirTable& table, std::string_view separators);

  Node& root() { return root_; }
  // Where a row's name is among its genre folder's mirrors: what mirrorIndex would give.
  size_t mirrorOfRow(size_t row) const { return mirrorOfRow_[row - 1]; }

  // Gives every node its stamps, none known yet.
  void keepStamps();
  // Set when the stamps are the last build's record's: on the link root's device, where a
  // mirror folder that still shows them is left as it is, counted in takenFromRecord.
  bool recalled = false;
  uint64_t stampDevice = 0;
  size_t takenFromRecord = 0;
  // Calls visit(node, path) for every node, the path below the link root of its folder
  // (levels joined by separator, "" for the link root), parents before their children.
  template <class Visit>
  void forEachNode(char separator, Visit&& visit);
  // The node of a row's genre folder (its physGenre).
  Node& genreNode(const std::string& physGenre);
  // The same for a row of table: rows of one source share their genre, which is looked up
  // once per run of them.
  Node& nodeOfRow(const DirTable& table, size_t row);
  // The node of the genre folder at path, or null when the layout has none.
  Node* findNode(std::string_view path);

 private:
  Node root_;
  std::vector<uint32_t> mirrorOfRow_;       // by row, from 1
  const std::string* lastGenre_ = nullptr;  // what nodeOfRow looked up last, and found
  Node* lastNode_ = nullptr;
  std::string_view separators_;
};

template <class Visit>
void Layout::forEachNode(char separator, Visit&& visit) {
  std::vector<std::pair<Node*, std::string>> todo{{&root_, ""}};
  while (!todo.empty()) {
    auto [node, path] = std::move(todo.back());
    todo.pop_back();
    visit(*node, path);
    for (auto& [name, child] : node->genres)
      todo.emplace_back(&child, path.empty() ? name : path + separator + name);
  }
}

}  // namespace kelvane
