#pragma once

#include <string>
#include <string_view>

#include "settings/settings.h"

namespace kelvane {

inline constexpr const char* kCaption = "Kelvane v1.1 by Oduvin";

// How long a build waits by default for another build of its link root or table: long enough
// for a nightly build to let an earlier one finish, short enough to fail before morning.
inline constexpr double kDefaultWaitSeconds = 600;

// The texts the boxes show before the user types anything: each names what goes in it.
SettingsTexts initialBoxTexts();

// Everything the one window object holds for the life of the process.
struct AppState {
  Settings settings;
  std::string datPath;  // the current settings file
  std::string caption = kCaption;
  SettingsTexts boxes = initialBoxTexts();
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
