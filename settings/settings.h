#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kelvane {

struct Platform;
class Files;

// One source folder whose subfolders are merged, and the genre sub-path they go under.
struct MergeSource {
  std::string path;
  std::string genre;
};

// The seven settings of a build and its merge sources.
struct Settings {
  std::string WhereCreate;  // link root
  std::string VFS;          // output table
  std::string VFSold;       // input table
  std::string VirtualR;     // virtual root
  std::string OwnU;
  std::string OwnG;
  float CHMOD = 0;
  std::vector<MergeSource> sources;
  // The settings file is UTF-8 (or plain ASCII); else it is in the system's local encoding.
  bool textIsUtf8 = true;
  // The file starts with the mark some editors put before UTF-8 text (no part of any value).
  bool byteOrderMark = false;
};

// The texts of the window's eight boxes, in the order the settings file holds them.
struct SettingsTexts {
  std::string WhereCreate, VFS, VFSold, VirtualR, OwnU, OwnG, CHMOD, Lines;
};

// Splits a merge line at its first "|": path before, genre after (further "|" stay in it).
MergeSource parseMergeLine(const std::string& line);

// Reads the settings file at path into settings, filling it as far as the file goes so that
// a failure report shows what was read; lines is the merge-source box text. Throws
// kelvane::Failure when the file cannot be read, ends before the seventh value, or holds a
// permission value that is not a number, saying on which line and what belongs there (its
// bytes escaped where they are shown). A file that is there but does not read carries the
// fix: the line to correct. forBuild: the settings steer a build, so a file that another
// account could have written is refused. bytesRead, when given, receives the file's bytes.
void readSettings(Platform& platform, const std::string& path, Settings& settings,
                  std::string& lines, bool forBuild = false, std::string* bytesRead = nullptr);

// readSettings without the file: reads the settings file's bytes, naming name in failures.
void parseSettings(std::string_view bytes, const std::string& name, Settings& settings,
                   std::string& lines);

// Why the settings file cannot hold the box texts, naming the first box (or merge line) at
// fault and what to change in it; empty when every text can be saved and reads back as it is.
// The field reading rule never keeps a double quote in a value (a pair is dropped, a single
// one takes in the values after it), and the reader refuses a NUL byte and a mode that is not
// a number: a text holding either cannot be saved, whatever else it holds, nor a mode box
// parseNumber would refuse. Commas, blanks and line breaks can.
std::string unsavableText(const SettingsTexts& texts);

// Why the settings file, in the code page of files (files.toCodePage), cannot hold the box
// texts (UTF-8): the first box or merge line holding a character the code page has no byte
// for, and that character; empty when every text fits.
std::string unencodableText(const SettingsTexts& texts, const Files& files);

// The settings file for the box texts. A value or merge line that holds a comma or has
// blanks at either end is wrapped in double quotes so that it reads back the same. Throws
// kelvane::Failure (kErrRefused, with unsavableText's reason) for texts the file cannot hold,
// so that no file is ever written that reads back otherwise.
std::string formatSettings(const SettingsTexts& texts);

}  // namespace kelvane
