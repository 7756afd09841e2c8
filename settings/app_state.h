#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "settings/settings.h"

namespace kelvane {

inline constexpr const char* kCaption = "Kelvane v1.1 by Oduvin";

// How long a build waits by default for another build of its link root or table: long enough
// for a nightly build to let an earlier one finish, short enough to fail before morning.
inline constexpr double kDefaultWaitSeconds = 600;

// The hints the boxes show while they are empty: each names what goes in it. They are no
// value: an untouched box is empty and saves empty.
SettingsTexts initialBoxTexts();

// Everything the one window object holds for the life of the process.
struct AppState {
  Settings settings;
  std::string datPath;  // the current settings file
  std::string caption = kCaption;
  // The boxes' texts in UTF-8, whatever the encoding of the file they came from.
  SettingsTexts boxes;
  // The window's file is saved in UTF-8, else in the code page of files (Files::toCodePage):
  // one encoding for the whole file, the one it was read in.
  bool fileIsUtf8 = true;
  bool byteOrderMark = false;  // the file starts with one and keeps it
  // The file's bytes as the window read or last saved them, to notice a change on disk
  // before it is overwritten; nullopt while the window has read or saved none.
  std::optional<std::string> fileBytes;
  // How long a build waits for another build of its link root or table (--wait SECONDS).
  double waitSeconds = kDefaultWaitSeconds;
};

// The window caption naming the settings file at path.
std::string captionFor(const std::string& path, std::string_view separators);

// The last component of path; a trailing separator is passed over ("/srv/x/" gives "x").
std::string fileNamePart(const std::string& path, std::string_view separators);

// True when path is taken from the current folder: it starts with no separator and, where
// "\" is one (Windows), names no drive ("C:").
bool isRelativePath(const std::string& path, std::string_view separators);

// folder & separator & name, without doubling the separator of a root folder.
std::string joinPath(const std::string& folder, const std::string& name, char separator);

}  // namespace kelvane
