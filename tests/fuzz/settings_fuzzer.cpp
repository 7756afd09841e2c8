// Feeds any bytes to the settings reader. A Failure is the expected answer to a bad file;
// anything else (another exception, a crash, a hang) is a finding. What it reads must agree
// with itself, and saving it with the settings writer must load back the same settings.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.h"
#include "settings/number_text.h"
#include "settings/settings.h"
#include "tests/fuzz/fuzz_check.h"

namespace kelvane {
namespace {

using fuzz::require;

struct Loaded {
  Settings settings;
  std::string lines;
};

bool hasLineEnd(const std::string& s) { return s.find("\r\n") != std::string::npos; }

bool sameSource(const MergeSource& a, const MergeSource& b) {
  return a.path == b.path && a.genre == b.genre;
}

std::vector<std::string> boxLines(const std::string& lines) {
  std::vector<std::string> parts;
  size_t at = 0;
  for (size_t end; (end = lines.find("\r\n", at)) != std::string::npos; at = end + 2)
    parts.push_back(lines.substr(at, end - at));
  parts.push_back(lines.substr(at));
  return parts;
}

// A merge line holding CR LF was quoted by hand; the box splits at CR LF, so such a file
// cannot come back the same. Any other line break is quoted on saving and reads back.
bool canRoundTrip(const Loaded& loaded) {
  for (const MergeSource& source : loaded.settings.sources)
    if (hasLineEnd(source.path) || hasLineEnd(source.genre) ||
        (source.path.ends_with('\r') && !source.genre.empty() && source.genre[0] == '\n'))
      return false;
  return true;
}

// The box text is the merge lines joined by CR LF, and each source is its line split at "|".
void checkBoxMatchesSources(const Loaded& loaded) {
  const std::vector<MergeSource>& sources = loaded.settings.sources;
  if (sources.empty()) {
    require(loaded.lines.empty(), "no merge sources leave the box empty");
    return;
  }
  std::vector<std::string> parts = boxLines(loaded.lines);
  require(parts.size() == sources.size(), "one box line per merge source");
  for (size_t i = 0; i < parts.size(); ++i)
    require(sameSource(parseMergeLine(parts[i]), sources[i]), "a source is its box line");
}

SettingsTexts boxTexts(const Loaded& loaded) {
  const Settings& s = loaded.settings;
  return {s.WhereCreate,       s.VFS,       s.VFSold, s.VirtualR, s.OwnU, s.OwnG,
          numberText(s.CHMOD), loaded.lines};
}

Loaded reload(const std::string& bytes) {
  Loaded again;
  try {
    parseSettings(bytes, "saved.dat", again.settings, again.lines);
  } catch (const Failure&) {
    require(false, "a saved settings file loads");
  }
  return again;
}

void checkRoundTrip(const Loaded& loaded) {
  std::string saved = formatSettings(boxTexts(loaded));
  Loaded again = reload(saved);
  const Settings &a = loaded.settings, &b = again.settings;
  require(a.WhereCreate == b.WhereCreate && a.VFS == b.VFS && a.VFSold == b.VFSold &&
              a.VirtualR == b.VirtualR && a.OwnU == b.OwnU && a.OwnG == b.OwnG,
          "the six texts load back the same");
  require(a.CHMOD == b.CHMOD, "the permission number loads back the same");
  require(again.lines == loaded.lines, "the box text loads back the same");
  if (a.sources.empty()) {
    // An empty box is saved as one empty line, which reads as one empty merge source.
    require(b.sources.size() == 1 && b.sources[0].path.empty() && b.sources[0].genre.empty(),
            "an empty box loads back as one empty merge source");
  } else {
    require(b.sources.size() == a.sources.size(), "the merge sources load back the same");
    for (size_t i = 0; i < a.sources.size(); ++i)
      require(sameSource(a.sources[i], b.sources[i]), "the merge sources load back the same");
  }
  require(formatSettings(boxTexts(again)) == saved, "saving the loaded file again changes nothing");
}

void checkSettings(std::string_view bytes) {
  Loaded loaded;
  try {
    parseSettings(bytes, "fuzz.dat", loaded.settings, loaded.lines);
  } catch (const Failure&) {
    return;  // a file too short or with a bad permission value
  }
  if (!canRoundTrip(loaded)) return;
  checkBoxMatchesSources(loaded);
  checkRoundTrip(loaded);
}

}  // namespace
}  // namespace kelvane

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kelvane::checkSettings(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
