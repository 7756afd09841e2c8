#include "engine/entry_encoding.h"

#include "base/utf8.h"
#include "platform/platform.h"

namespace kelvane {

std::optional<std::string> EntryEncoding::bytes(const std::string& text) const {
  if (utf8_) return text;
  return platform_.files.toLocalText(text);
}

void takeSettingsAsText(const Platform& platform, Settings& settings) {
  if (settings.textIsUtf8) return;
  // As the settings window shows them: each value on its own, the merge lines together (they
  // share one box), so that a file saved with one box in another encoding reads as shown.
  for (std::string* value : {&settings.WhereCreate, &settings.VFS, &settings.VFSold,
                             &settings.VirtualR, &settings.OwnU, &settings.OwnG})
    if (!isUtf8(*value)) *value = platform.files.fromLocalText(*value);
  bool linesUtf8 = true;
  for (const MergeSource& source : settings.sources)
    linesUtf8 = linesUtf8 && isUtf8(source.path) && isUtf8(source.genre);
  if (linesUtf8) return;
  for (MergeSource& source : settings.sources) {
    source.path = platform.files.fromLocalText(source.path);
    source.genre = platform.files.fromLocalText(source.genre);
  }
}

}  // namespace kelvane
