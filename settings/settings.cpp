#include "settings/settings.h"

#include <cerrno>
#include <utility>

#include "platform/failure.h"
#include "platform/platform.h"
#include "platform/utf8.h"
#include "settings/field_reader.h"
#include "settings/number_text.h"

namespace kelvane {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

MergeSource parseMergeLine(const std::string& line) {
  auto bar = line.find('|');
  if (bar == std::string::npos) return {line, ""};
  return {line.substr(0, bar), line.substr(bar + 1)};
}

namespace {

// The system reads a path only up to a NUL byte, so a value holding one would be checked as
// one path and acted on as another.
void refuseNulBytes(const Settings& settings, const std::string& name) {
  std::vector<std::pair<const char*, const std::string*>> values = {
      {"link root", &settings.WhereCreate}, {"output VFS file", &settings.VFS},
      {"input VFS file", &settings.VFSold}, {"virtual root", &settings.VirtualR},
      {"owner user", &settings.OwnU},       {"owner group", &settings.OwnG}};
  for (const auto& [what, value] : values)
    if (value->find('\0') != std::string::npos)
      throw Failure(
          EINVAL,
          "The settings file \"" + name + "\" holds a NUL byte in the " + what + "; remove it",
          "read settings");
  for (size_t i = 0; i < settings.sources.size(); ++i) {
    const MergeSource& source = settings.sources[i];
    if ((source.path + source.genre).find('\0') != std::string::npos)
      throw Failure(EINVAL,
                    "The settings file \"" + name + "\" holds a NUL byte in merge line " +
                        std::to_string(i + 1) + "; remove it",
                    "read settings");
  }
}

}  // namespace

void readSettings(Platform& platform, const std::string& path, Settings& settings,
                  std::string& lines, bool forBuild) {
  parseSettings(forBuild ? platform.readTrustedFile(path) : platform.readFile(path), path, settings,
                lines);
}

void parseSettings(std::string_view bytes, const std::string& name, Settings& settings,
                   std::string& lines) {
  // A mark some editors put before UTF-8 text; it is no part of the link root.
  if (bytes.starts_with(kByteOrderMark)) bytes.remove_prefix(kByteOrderMark.size());
  settings.textIsUtf8 = isUtf8(bytes);
  FieldReader fields(bytes);
  settings.WhereCreate = fields.next(name);
  settings.VFS = fields.next(name);
  settings.VFSold = fields.next(name);
  settings.VirtualR = fields.next(name);
  settings.OwnU = fields.next(name);
  settings.OwnG = fields.next(name);
  settings.CHMOD = parseNumber(fields.next(name), name);
  lines.clear();
  settings.sources.clear();
  while (!fields.atEnd()) {
    std::string line = fields.next(name);
    settings.sources.push_back(parseMergeLine(line));
    if (settings.sources.size() > 1) lines += "\r\n";
    lines += line;
  }
  refuseNulBytes(settings, name);
}

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Quotes a value the field reader would otherwise split or trim, or whose first bytes would
// read as a byte order mark at the start of the file. The value holds no double quote
// (unsavableText refuses one), so the quotes read back as a pair around it.
std::string field(const std::string& value) {
  bool needsQuotes = value.find_first_of(",\r\n") != std::string::npos ||
                     (!value.empty() && (isBlank(value.front()) || isBlank(value.back()))) ||
                     value.starts_with(kByteOrderMark);
  return needsQuotes ? "\"" + value + "\"" : value;
}

// The merge-source box's lines: it keeps its own line breaks, and each line is one merge line.
std::vector<std::string> boxLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
    lines.push_back(text.substr(at, end - at));
  lines.push_back(text.substr(at));
  return lines;
}

// What in value the settings file cannot hold, and what to do about it; empty when nothing.
std::string unsavablePart(const std::string& value) {
  if (value.find('"') != std::string::npos)
    return "holds a double quote (\"), which the settings file cannot hold: remove it (commas "
           "and blanks need no quotes, they are saved as typed)";
  if (value.find('\0') != std::string::npos)
    return "holds a NUL character, which the settings file cannot hold: remove it";
  return "";
}

}  // namespace

std::string unsavableText(const SettingsTexts& texts) {
  const std::pair<const char*, const std::string*> values[] = {
      {"link root", &texts.WhereCreate},   {"output VFS file", &texts.VFS},
      {"input VFS file", &texts.VFSold},   {"virtual root", &texts.VirtualR},
      {"owner user", &texts.OwnU},         {"owner group", &texts.OwnG},
      {"permission (CHMOD)", &texts.CHMOD}};
  for (const auto& [box, value] : values)
    if (std::string why = unsavablePart(*value); !why.empty())
      return std::string("The ") + box + " box " + why;
  std::vector<std::string> lines = boxLines(texts.Lines);
  for (size_t i = 0; i < lines.size(); ++i)
    if (std::string why = unsavablePart(lines[i]); !why.empty())
      return "Line " + std::to_string(i + 1) + " of the merge-source box " + why;
  return "";
}

std::string formatSettings(const SettingsTexts& texts) {
  if (std::string why = unsavableText(texts); !why.empty())
    throw Failure(kErrRefused, why, "write settings");
  std::string out;
  for (const std::string* value : {&texts.WhereCreate, &texts.VFS, &texts.VFSold, &texts.VirtualR,
                                   &texts.OwnU, &texts.OwnG, &texts.CHMOD})
    out += field(*value) + "\r\n";
  for (const std::string& line : boxLines(texts.Lines)) out += field(line) + "\r\n";
  return out;
}

}  // namespace kelvane
