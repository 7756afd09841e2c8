#include "engine/value_check.h"

#include <string_view>
#include <vector>

#include "base/failure.h"
#include "base/path_parts.h"
#include "engine/entry_encoding.h"

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

bool hasParentPart(const std::string& genre, std::string_view separators) {
  for (std::string_view part : pathParts(genre, separators))
    if (part == "..") return true;
  return false;
}

// A part starting with "." other than "." itself (which names no level) and "..": a hidden
// name, which no listing shows, so the build could never keep its folder to the layout.
bool hasHiddenPart(const std::string& genre, std::string_view separators) {
  for (std::string_view part : pathParts(genre, separators))
    if (part.size() > 1 && part[0] == '.') return true;
  return false;
}

// A setting that goes into the table's entries, the characters that may not be in it, and
// how a refusal names it.
struct TableValue {
  const std::string& value;
  std::string_view breakers;
  std::string what;
};

// The link root is in the table only as the root entry; mirror folders are not in it.
std::vector<TableValue> tableValues(const Settings& s, bool writesRootEntry) {
  std::vector<TableValue> values = {
      {s.VirtualR, kFieldBreakers, "virtual root \"" + s.VirtualR + "\""},
      {s.OwnU, kFieldBreakers, "owner user \"" + s.OwnU + "\""},
      {s.OwnG, kFieldBreakers, "owner group \"" + s.OwnG + "\""}};
  if (writesRootEntry)
    values.push_back({s.WhereCreate, kFieldBreakers, "link root \"" + s.WhereCreate + "\""});
  for (size_t i = 0; i < s.sources.size(); ++i) {
    const MergeSource& source = s.sources[i];
    std::string line = "merge line " + std::to_string(i + 1) + " (\"" + source.path +
                       (source.genre.empty() ? "" : "|" + source.genre) + "\")";
    values.push_back({source.path, kLineBreakers, "folder of " + line});
    values.push_back({source.genre, kFieldBreakers, "genre of " + line});
  }
  return values;
}

}  // namespace

void refuseUnsafeValues(const AppState& state, bool writesRootEntry, std::string_view separators) {
  const Settings& s = state.settings;
  const std::string& dat = state.datPath;
  // Without the root entry the link root is only a path, where a "|" is an ordinary name.
  if (!writesRootEntry)
    refuseAny(s.WhereCreate, kLineBreakers, "link root \"" + s.WhereCreate + "\"", dat);
  for (const TableValue& v : tableValues(s, writesRootEntry))
    refuseAny(v.value, v.breakers, v.what, dat);
  for (size_t i = 0; i < s.sources.size(); ++i) {
    const MergeSource& source = s.sources[i];
    if (hasParentPart(source.genre, separators))
      throw Failure(kErrRefused,
                    "Refused to build: the genre of merge line " + std::to_string(i + 1) + " (\"" +
                        source.path + "|" + source.genre +
                        "\") has a \"..\" part, which would put mirror folders outside the "
                        "link root. Change it in \"" +
                        dat + "\"",
                    "check settings");
    if (hasHiddenPart(source.genre, separators))
      throw Failure(kErrRefused,
                    "Refused to build: the genre of merge line " + std::to_string(i + 1) + " (\"" +
                        source.path + "|" + source.genre +
                        "\") has a part starting with \".\", a hidden name that no folder "
                        "listing shows, so the build could never keep that folder to the "
                        "layout. Change it in \"" +
                        dat + "\"",
                    "check settings");
  }
}

void refuseUnencodableValues(const AppState& state, bool writesRootEntry,
                             const EntryEncoding& encoding) {
  for (const TableValue& v : tableValues(state.settings, writesRootEntry))
    if (!encoding.holds(v.value))
      throw Failure(kErrRefused,
                    "Refused to build: the " + v.what +
                        " holds a character that the system's code page cannot hold, and the "
                        "new VFS entries are written in that code page because the settings "
                        "file or the old VFS file is not UTF-8. Change the value in \"" +
                        state.datPath + "\", or save both files as UTF-8",
                    "check settings");
}

}  // namespace kelvane
