#include "engine/layout.h"

#include <algorithm>

#include "base/path_parts.h"

namespace kelvane {

long Layout::Node::mirrorIndex(std::string_view name) const {
  auto at = std::lower_bound(mirrors.begin(), mirrors.end(), name);
  return at != mirrors.end() && *at == name ? at - mirrors.begin() : -1;
}

Layout::Node& Layout::genreNode(const std::string& physGenre) {
  // Empty parts ("a//b") and "." name no level of their own, as the system takes them.
  Node* node = &root_;
  for (std::string_view part : pathParts(physGenre, separators_)) {
    auto found = node->genres.find(part);
    if (found == node->genres.end()) found = node->genres.emplace(std::string(part), Node()).first;
    node = &found->second;
  }
  return *node;
}

Layout::Node* Layout::findNode(std::string_view path) {
  Node* node = &root_;
  for (std::string_view part : pathParts(path, separators_)) {
    auto found = node->genres.find(part);
    if (found == node->genres.end()) return nullptr;
    node = &found->second;
  }
  return node;
}

void Layout::keepStamps() {
  forEachNode('/',
              [](Node& node, const std::string&) { node.stamps.assign(node.mirrors.size(), {}); });
}

Layout::Layout(const DirTable& table, std::string_view separators) : separators_(separators) {
  root_.isRoot_ = true;
  Node* node = nullptr;
  const std::string* genre = nullptr;
  for (size_t row = 1; row <= table.count(); ++row) {
    // Rows of one source share their genre: look it up once per run of them.
    if (!genre || *genre != table.physGenre(row)) {
      genre = &table.physGenre(row);
      node = &genreNode(*genre);
    }
    node->mirrors.push_back(table.names(row));
  }
  std::vector<Node*> nodes{&root_};
  while (!nodes.empty()) {
    Node* n = nodes.back();
    nodes.pop_back();
    std::sort(n->mirrors.begin(), n->mirrors.end());
    n->mirrors.erase(std::unique(n->mirrors.begin(), n->mirrors.end()), n->mirrors.end());
    n->mirrorPresent_.assign(n->mirrors.size(), false);
    for (auto& child : n->genres) nodes.push_back(&child.second);
  }
}

}  // namespace kelvane
