#include <string_view>

#include "build/link_root_check.h"
#include "platform/failure.h"

namespace kelvane {
namespace {

using namespace std::string_view_literals;

// Characters that end a field or a line of the table, and the NUL byte, where the system
// would stop reading a path.
constexpr std::string_view kFieldBreakers = "|\r\n\0"sv;
constexpr std::string_view kLineBreakers = "\r\n\0"sv;

const char* nameOf(char c) {
  switch (c) {
    case '|':
      return "a \"|\"";
    case '\r':
      return "a carriage return";
    case '\n':
      return "a line feed";
    default:
      return "a NUL byte";
  }
}

void refuseAny(const std::string& value, std::string_view characters, const std::string& what,
               const std::string& datPath) {
  size_t at = value.find_first_of(characters);
  if (at == std::string::npos) return;
  throw Failure(kErrRefused,
                "Refused to build: the " + what + " holds " + nameOf(value[at]) +
                    ", which would add fields or lines to the VFS table. Change it in \"" +
                    datPath + "\"",
                "check settings");
}

bool hasParentPart(const std::string& genre, char separator) {
  size_t at = 0;
  for (;;) {
    size_t end = genre.find_first_of(std::string{'/', separator}, at);
    if (genre.compare(at, end == std::string::npos ? std::string::npos : end - at, "..") == 0)
      return true;
    if (end == std::string::npos) return false;
    at = end + 1;
  }
}

}  // namespace

void refuseUnsafeValues(const AppState& state, bool writesRootEntry, char separator) {
  const Settings& s = state.settings;
  const std::string& dat = state.datPath;
  refuseAny(s.WhereCreate, writesRootEntry ? kFieldBreakers : kLineBreakers,
            "link root \"" + s.WhereCreate + "\"", dat);
  refuseAny(s.VirtualR, kFieldBreakers, "virtual root \"" + s.VirtualR + "\"", dat);
  refuseAny(s.OwnU, kFieldBreakers, "owner user \"" + s.OwnU + "\"", dat);
  refuseAny(s.OwnG, kFieldBreakers, "owner group \"" + s.OwnG + "\"", dat);
  for (size_t i = 0; i < s.sources.size(); ++i) {
    const MergeSource& source = s.sources[i];
    std::string line = "merge line " + std::to_string(i + 1) + " (\"" + source.path +
                       (source.genre.empty() ? "" : "|" + source.genre) + "\")";
    refuseAny(source.path, kLineBreakers, "folder of " + line, dat);
    refuseAny(source.genre, kFieldBreakers, "genre of " + line, dat);
    if (hasParentPart(source.genre, separator))
      throw Failure(kErrRefused,
                    "Refused to build: the genre of " + line +
                        " has a \"..\" part, which would put mirror folders outside the link "
                        "root. Change it in \"" +
                        dat + "\"",
                    "check settings");
  }
}

}  // namespace kelvane
