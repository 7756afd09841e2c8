#pragma once

#include <string_view>

namespace kelvane {

// "." or "..": the folder itself or the folder holding it, which a full listing names too.
template <class Char>
bool isSelfOrParent(std::basic_string_view<Char> name) {
  return name.size() <= 2 && !name.empty() && name[0] == '.' &&
         (name.size() == 1 || name[1] == '.');
}

// A hidden name, which the listings leave out on both systems: one that starts with "." and is
// neither "." nor "..".
template <class Char>
bool isHiddenName(std::basic_string_view<Char> name) {
  return !name.empty() && name[0] == '.' && !isSelfOrParent(name);
}
inline bool isHiddenName(std::string_view name) { return isHiddenName<char>(name); }
inline bool isSelfOrParent(std::string_view name) { return isSelfOrParent<char>(name); }
inline bool isHiddenName(std::wstring_view name) { return isHiddenName<wchar_t>(name); }

}  // namespace kelvane
