#include "settings/settings.h"

#include <array>
#include <cerrno>
#include <utility>

#include "base/failure.h"
#include "base/utf8.h"
#include "base/visible_text.h"
#include "platform/platform.h"
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

// The seven values in the order the file holds them, one a line as the window saves them.
constexpr const char* kValueNames[] = {
    "the link root",    "the output VFS file", "the input VFS file",
    "the virtual root", "the owner user",      "the owner group",
    "the mode"};
constexpr size_t kModeValue = 6;

std::string fileLayout() {
  return std::string(
             "a settings file holds seven values, one a line (the link root, the output "
             "VFS file, the input VFS file, the virtual root, the owner user, the owner "
             "group, the mode: ") +
         kNumberExpected + "), then the merge sources, one a line";
}

std::string at(const std::string& name, size_t line, const std::string& what) {
  return "in the settings file \"" + name + "\": line " + std::to_string(line) + ", " + what;
}

// Reads the settings file's values and merge lines, remembering the line each starts on.
class ValueReader {
 public:
  ValueReader(std::string_view bytes, const std::string& name) : fields_(bytes), name_(name) {}

  std::string value(size_t index) {
    lines_.push_back(fields_.line());
    if (fields_.atEnd())
      throw Failure(kErrInputPastEnd,
                    "Input past end of file " + at(name_, lines_.back(), kValueNames[index]) +
                        ", is missing: " + fileLayout(),
                    "read settings");
    return fields_.next(name_);
  }
  std::string mergeLine() {
    lines_.push_back(fields_.line());
    return fields_.next(name_);
  }
  bool atEnd() const { return fields_.atEnd(); }
  // The line the value or merge line read last starts on.
  size_t lastLine() const { return lines_.empty() ? 1 : lines_.back(); }
  // Where value or merge line number index (counted from 0 over both) starts.
  std::string where(size_t index, const std::string& what) const {
    return at(name_, lines_[index], what);
  }

 private:
  FieldReader fields_;
  const std::string& name_;
  std::vector<size_t> lines_;
};

// The system reads a path only up to a NUL byte, so a value holding one would be checked as
// one path and acted on as another.
void refuseNulBytes(const Settings& settings, const ValueReader& reader) {
  const std::string* values[] = {&settings.WhereCreate, &settings.VFS,  &settings.VFSold,
                                 &settings.VirtualR,    &settings.OwnU, &settings.OwnG};
  auto refuse = [&](size_t index, const std::string& what) {
    throw Failure(EINVAL, "A NUL byte " + reader.where(index, what) + "; remove it",
                  "read settings", "Remove the NUL byte " + reader.where(index, what));
  };
  for (size_t i = 0; i < std::size(values); ++i)
    if (values[i]->find('\0') != std::string::npos) refuse(i, kValueNames[i]);
  for (size_t i = 0; i < settings.sources.size(); ++i) {
    const MergeSource& source = settings.sources[i];
    if ((source.path + source.genre).find('\0') != std::string::npos)
      refuse(kModeValue + 1 + i, "merge line " + std::to_string(i + 1));
  }
}

void readValues(ValueReader& reader, Settings& settings, std::string& lines);

}  // namespace

void readSettings(Platform& platform, const std::string& path, Settings& settings,
                  std::string& lines, bool forBuild, std::string* bytesRead) {
  std::string bytes;
  try {
    bytes = forBuild ? platform.files.readTrustedFile(path) : platform.files.readFile(path);
  } catch (const Failure& failure) {
    // A file that is not there is named with what it should hold; any other refusal says
    // enough itself.
    if (platform.files.fileExists(path)) throw;
    throw Failure(failure.number(), failure.description() + "; " + fileLayout(), failure.source());
  }
  if (bytesRead != nullptr) *bytesRead = bytes;
  parseSettings(bytes, path, settings, lines);
}

void parseSettings(std::string_view bytes, const std::string& name, Settings& settings,
                   std::string& lines) {
  // A mark some editors put before UTF-8 text; it is no part of the link root.
  settings.byteOrderMark = bytes.starts_with(kByteOrderMark);
  if (settings.byteOrderMark) bytes.remove_prefix(kByteOrderMark.size());
  settings.textIsUtf8 = isUtf8(bytes);
  ValueReader reader(bytes, name);
  try {
    readValues(reader, settings, lines);
  } catch (const Failure& failure) {
    // The file is there: what helps is the line to correct, not whether it exists.
    if (!failure.fix().empty()) throw;
    throw Failure(failure.number(), failure.description(), failure.source(),
                  "Correct line " + std::to_string(reader.lastLine()) + " of the settings file \"" +
                      name + "\" as the error description says (open it in a text editor)");
  }
}

namespace {

void readValues(ValueReader& reader, Settings& settings, std::string& lines) {
  settings.WhereCreate = reader.value(0);
  settings.VFS = reader.value(1);
  settings.VFSold = reader.value(2);
  settings.VirtualR = reader.value(3);
  settings.OwnU = reader.value(4);
  settings.OwnG = reader.value(5);
  std::string mode = reader.value(kModeValue);
  settings.CHMOD = parseNumber(mode, reader.where(kModeValue, kValueNames[kModeValue]));
  lines.clear();
  settings.sources.clear();
  while (!reader.atEnd()) {
    std::string line = reader.mergeLine();
    settings.sources.push_back(parseMergeLine(line));
    if (settings.sources.size() > 1) lines += "\r\n";
    lines += line;
  }
  refuseNulBytes(settings, reader);
}

}  // namespace

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

namespace {

// The seven single-line boxes as a message names them, with their texts.
std::array<std::pair<const char*, const std::string*>, 7> namedBoxes(const SettingsTexts& texts) {
  return {{{"link root", &texts.WhereCreate},
           {"output VFS file", &texts.VFS},
           {"input VFS file", &texts.VFSold},
           {"virtual root", &texts.VirtualR},
           {"owner user", &texts.OwnU},
           {"owner group", &texts.OwnG},
           {"permission (CHMOD)", &texts.CHMOD}}};
}

// The first character of text (UTF-8) that files' code page has no byte for; empty if none.
std::string firstUnencodable(const std::string& text, const Files& files) {
  for (size_t i = 0; i < text.size();) {
    size_t length = 1;
    while (i + length < text.size() &&
           (static_cast<unsigned char>(text[i + length]) & 0xC0) == 0x80)
      ++length;
    std::string character = text.substr(i, length);
    if (!files.toCodePage(character)) return character;
    i += length;
  }
  return "";
}

}  // namespace

std::string unencodableText(const SettingsTexts& texts, const Files& files) {
  auto lacking = [&](const std::string& where, const std::string& text) -> std::string {
    std::string character = firstUnencodable(text, files);
    if (character.empty()) return "";
    return where + " holds \"" + visibleText(character) + "\", which the settings file's " +
           files.codePageName() + " cannot hold";
  };
  for (const auto& [box, value] : namedBoxes(texts))
    if (std::string why = lacking(std::string("The ") + box + " box", *value); !why.empty())
      return why;
  std::vector<std::string> lines = boxLines(texts.Lines);
  for (size_t i = 0; i < lines.size(); ++i)
    if (std::string why =
            lacking("Line " + std::to_string(i + 1) + " of the merge-source box", lines[i]);
        !why.empty())
      return why;
  return "";
}

std::string unsavableText(const SettingsTexts& texts) {
  for (const auto& [box, value] : namedBoxes(texts))
    if (std::string why = unsavablePart(*value); !why.empty())
      return std::string("The ") + box + " box " + why;
  // The reader takes the mode as a number, and a file it cannot read back opens no window.
  if (std::string problem = numberProblem(texts.CHMOD); !problem.empty())
    return "The permission (CHMOD) box holds \"" + visibleText(texts.CHMOD) + "\", which is " +
           problem + ": type " + kNumberExpected + ", or nothing for 0";
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
