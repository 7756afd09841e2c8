#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/dir_table.h"

namespace kelvane {

// The folders a build leaves under the link root, known from the scan before anything is
// removed: genre folders (and the levels leading to them) form a small tree, and each holds
// its mirror folders, one per scanned name. A folder of the layout that the walk finds
// already there is marked present, so that it is neither removed nor created again.
class Layout {
 public:
  class Node {
   public:
    std::map<std::string, Node, std::less<>> genres;  // the levels of genre paths below
    std::vector<std::string_view> mirrors;            // sorted, each name once

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

   private:
    friend class Layout;
    std::vector<bool> mirrorPresent_;  // beside mirrors
    bool present_ = false;
  };

  // The table and separators must outlive the layout: mirror names point into the table, and
  // genreNode splits a genre path's levels at any of separators.
  Layout(const DirTable& table, std::string_view separators);

  Node& root() { return root_; }
  // The node of a row's genre folder (its physGenre).
  Node& genreNode(const std::string& physGenre);

 private:
  Node root_;
  std::string_view separators_;
};

}  // namespace kelvane
