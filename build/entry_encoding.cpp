#include "build/entry_encoding.h"

#include "platform/platform.h"

namespace kelvane {

std::optional<std::string> EntryEncoding::bytes(const std::string& text) const {
  if (utf8_) return text;
  return platform_.toLocalText(text);
}

void takeSettingsAsText(const Platform& platform, Settings& settings) {
  if (settings.textIsUtf8) return;
  for (std::string* value : {&settings.WhereCreate, &settings.VFS, &settings.VFSold,
                             &settings.VirtualR, &settings.OwnU, &settings.OwnG})
    *value = platform.fromLocalText(*value);
  for (MergeSource& source : settings.sources) {
    source.path = platform.fromLocalText(source.path);
    source.genre = platform.fromLocalText(source.genre);
  }
}

}  // namespace kelvane
