#include "settings/app_state.h"

#include <cctype>

namespace kelvane {

SettingsTexts initialBoxTexts() {
  SettingsTexts texts;
  texts.WhereCreate = "Physical location of the path where all the links will go.";
  texts.VFS = "Filename of the VFS file that your server uses.";
  texts.VFSold = "Filepath of the VFS where your original VFS is.";
  texts.VirtualR = "Virtual path to where all the merged links will be aimed at.";
  texts.OwnU = "Owner User";
  texts.OwnG = "Owner Group";
  texts.CHMOD = "CHMOD";
  return texts;
}

std::string fileNamePart(const std::string& path, std::string_view separators) {
  auto end = path.find_last_not_of(separators);
  if (end == std::string::npos) return "";
  auto slash = path.find_last_of(separators, end);
  return path.substr(slash == std::string::npos ? 0 : slash + 1,
                     end - (slash == std::string::npos ? 0 : slash + 1) + 1);
}

bool isRelativePath(const std::string& path, std::string_view separators) {
  if (!path.empty() && separators.find(path[0]) != std::string_view::npos) return false;
  bool drives = separators.find('\\') != std::string_view::npos;
  return !(drives && path.size() >= 2 && path[1] == ':' &&
           std::isalpha(static_cast<unsigned char>(path[0])));
}

std::string joinPath(const std::string& folder, const std::string& name, char separator) {
  return (!folder.empty() && folder.back() == separator ? folder : folder + separator) + name;
}

std::string captionFor(const std::string& path, std::string_view separators) {
  return std::string(kCaption) + " [" + fileNamePart(path, separators) + "]";
}

}  // namespace kelvane
