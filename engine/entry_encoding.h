#pragma once

#include <optional>
#include <string>

#include "settings/settings.h"

namespace kelvane {

struct Platform;

// The encoding of the entries a build adds to the VFS table: UTF-8 when the settings file
// and the old table both are, else the system's local encoding, so that the server reads
// the new lines as it reads the old ones. (On Linux both are the bytes themselves.)
class EntryEncoding {
 public:
  EntryEncoding(const Platform& platform, bool utf8) : platform_(platform), utf8_(utf8) {}

  // The table's bytes for text; nullopt when the encoding has none for a character of it.
  std::optional<std::string> bytes(const std::string& text) const;
  bool holds(const std::string& text) const { return bytes(text).has_value(); }

 private:
  const Platform& platform_;
  bool utf8_;
};

// Settings read from a file not in UTF-8, turned into the program's text for names and
// paths, once: a value (or the merge lines, taken together) that is not UTF-8 is in the
// local encoding. Settings read from UTF-8 are that text already.
void takeSettingsAsText(const Platform& platform, Settings& settings);

}  // namespace kelvane
