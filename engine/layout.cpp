#include "engine/layout.h"

#include <algorithm>

#include "base/path_parts.h"

namespace kelvane {
namespace {

// A name's first eight bytes as a number that orders as the bytes do (a shorter name is
// padded with zeros, which no name holds).
uint64_t leadingBytes(std::string_view name) {
  uint64_t key = 0;
  for (size_t i = 0; i < 8; ++i)
    key = key << 8 | (i < name.size() ? static_cast<unsigned char>(name[i]) : 0u);
  return key;
}

// Sorts names as std::sort would and drops repeats. Most names differ in their first eight
// bytes, which are compared as one number: a genre folder of half a million names sorts about
// three times faster than by comparing the names themselves.
void sortNames(std::vector<std::string_view>& names) {
  std::vector<std::pair<uint64_t, std::string_view>> keyed;
  keyed.reserve(names.size());
  for (std::string_view name : names) keyed.emplace_back(leadingBytes(name), name);
  std::sort(keyed.begin(), keyed.end());
  names.clear();
  for (const auto& [key, name] : keyed)
    if (names.empty() || names.back() != name) names.push_back(name);
}

}  // namespace

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
    sortNames(n->mirrors);
    n->mirrorPresent_.assign(n->mirrors.size(), false);
    for (auto& child : n->genres) nodes.push_back(&child.second);
  }
}

}  // namespace kelvane
