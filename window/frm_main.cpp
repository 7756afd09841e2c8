#include "window/frm_main.h"

#include <algorithm>
#include <cstdio>

#include "base/failure.h"
#include "platform/platform.h"
#include "report/error_report.h"

namespace kelvane {

std::string linesTip(char separator) {
  if (separator == '\\') return "Put your folders to merge in format X:\\Folder\\|subfolder";
  return "Put your folders to merge in format /folder/|subfolder";
}

std::string mergeHelpText(char separator) {
  bool windows = separator == '\\';
  return std::string(
             "Physical path link to Virtual path, optional genre.\r\n"
             "Press return at the end of each line.\r\n"
             "Format: Physical|subsection(genre)\r\n") +
         (windows ? "ie1.0: D:\\mp3s\\alternative|alternative\r\n"
                    "ie2.1: D:\\iso\\\r\n"
                    "ie2.2: F:\\iso\\\r\n"
                  : "ie1.0: /srv/mp3s/alternative|alternative\r\n"
                    "ie2.1: /srv/iso/\r\n"
                    "ie2.2: /mnt/iso/\r\n");
}

std::string filterExtension(const std::string& filter) {
  size_t bar = filter.find('|');
  if (bar == std::string::npos || filter.compare(bar + 1, 2, "*.") != 0) return "";
  std::string extension = filter.substr(bar + 3, filter.find_first_of("|;", bar + 3) - bar - 3);
  return extension.find_first_of("*?") == std::string::npos ? extension : "";
}

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// What a failed save leaves the window with, for the failure message.
std::string keptFile(const std::string& path) {
  if (path.empty()) return "The window still has no settings file: Save asks for one.";
  return "The window keeps its settings file \"" + path + "\".";
}

// What an end the build did not report itself means.
std::string whyEnded(int status, bool windows) {
  if (status == 1) return "it was ended from outside, and wrote no error report";
  if (status == -1) return "the system no longer knows how it ended";
  if (!windows && status > 128 && status < 128 + 65)
    return "it was ended by signal " + std::to_string(status - 128) +
           (status == 137 ? " (killed: by kill -9, or by the system when memory ran out)" : "");
  if (windows && status < 0) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(status));
    return std::string("it crashed (exception ") + code + ")";
  }
  return "it did not say why";
}

}  // namespace

std::optional<std::string> FrmMain::encoded(const std::string& text, bool& utf8) {
  utf8 = state_.fileIsUtf8;
  if (!utf8) {
    // One file, one encoding: a box in UTF-8 among values in the code page would read as
    // neither.
    std::string why = unencodableText(state_.boxes, platform_.files);
    if (why.empty()) return platform_.files.toCodePage(text);
    if (!platform_.messages.question(
            "Notice",
            why + ".\r\nSave the whole settings file in UTF-8 instead? Its other values stay as "
                  "they are; builds read UTF-8 too.\r\nNo saves nothing: change that box, or "
                  "Save again to be asked again.",
            Icon::Question))
      return std::nullopt;
    utf8 = true;
  }
  return text;
}

bool FrmMain::mayOverwrite(const std::string& path) {
  if (!state_.fileBytes) return true;  // nothing read or saved to compare with
  std::optional<std::string> now;
  try {
    now = platform_.files.readFile(path);
  } catch (const Failure&) {
  }
  if (now == state_.fileBytes) return true;
  return platform_.messages.question(
      "Notice",
      "The settings file \"" + path + "\" changed on disk after the window " +
          "read or saved it (another window or program wrote it" + (now ? "" : ", or removed it") +
          ").\r\nReplace it with the window's settings?\r\nNo saves nothing: the file keeps what "
          "is on disk, and the window keeps what you typed (Save as can put it elsewhere).",
      Icon::Question);
}

bool FrmMain::save(bool ask) {
  // Checked before the dialog: a text the file cannot hold is never written anywhere.
  std::string text;
  try {
    text = formatSettings(state_.boxes);
  } catch (const Failure& refusal) {
    platform_.messages.message(
        "Notice", "Settings not saved. " + refusal.description() + ".\r\nNothing was written.",
        Icon::Error);
    return false;
  }
  bool utf8 = true;
  std::optional<std::string> bytes = encoded(text, utf8);
  if (!bytes) return false;
  if (state_.byteOrderMark) bytes->insert(0, kByteOrderMark);
  const std::string kept = state_.datPath;
  std::string path = kept;
  if (ask) {
    // The dialog opens where the window's file is; a new window's, in the program folder.
    size_t last = kept.find_last_of(platform_.files.separators());
    bool root = last == 0 || (last != std::string::npos && kept[last - 1] == ':');  // "/", "C:\"
    std::string folder = last == std::string::npos ? platform_.processes.programFolder()
                                                   : kept.substr(0, root ? last + 1 : last);
    path = platform_.messages.saveDialog(kSaveDialogTitle, kSaveDialogFilter, folder);
    if (path.empty()) {
      platform_.messages.message(
          "Notice", "File not saved.  No output filename selected\r\n" + keptFile(kept),
          Icon::Error);
      return false;
    }
  } else if (!mayOverwrite(path)) {
    return false;
  }
  try {
    platform_.files.writeFile(path, *bytes);
  } catch (const Failure& failure) {
    platform_.messages.message(
        "Notice",
        "Settings not saved: " + failure.description() +
            "\r\nCheck that the folder exists and that you may write to it.\r\n" + keptFile(kept),
        Icon::Error);
    return false;
  }
  state_.datPath = path;
  state_.fileIsUtf8 = utf8;
  state_.fileBytes = *bytes;
  platform_.messages.message("Horray", "Settings successfully saved.", Icon::Information);
  state_.caption = captionFor(state_.datPath, platform_.files.separators());
  return true;
}

void FrmMain::cmdSave_Click() { savevfs(state_.datPath); }

void FrmMain::cmdSaveAs_Click() { save(true); }

void FrmMain::cmdBuild_Click() {
  std::string which = state_.datPath.empty()
                          ? "The build needs a settings file: Yes asks where to save one."
                          : "The build reads \"" + state_.datPath + "\".";
  if (platform_.messages.question("Hmm", "Save settings first?\r\n" + which, Icon::Question) &&
      !savevfs(state_.datPath))
    return;
  launchBuild();
}

std::optional<std::vector<std::optional<FileIdentity>>> FrmMain::reportsNow() {
  std::vector<std::optional<FileIdentity>> now;
  try {
    for (const std::string& path : reportPaths(platform_)) {
      std::optional<FileIdentity> identity;
      if (platform_.files.fileExists(path)) {
        std::vector<FileIdentity> chain = platform_.files.chainOf(path, true);
        if (!chain.empty()) identity = chain.front();
      }
      now.push_back(identity);
    }
  } catch (const Failure&) {
    return std::nullopt;  // where a report would go is unknown: no build is told by it
  }
  return now;
}

void FrmMain::launchBuild() {
  // A build of no file would only report that it found none.
  if (state_.datPath.empty()) {
    platform_.messages.message("Notice",
                               "No build started: the window has no settings file yet.\r\nSave the "
                               "settings first (Save Settings), then build.",
                               Icon::Error);
    return;
  }
  StartedBuild started;
  started.reports = reportsNow();
  try {
    started.process = platform_.processes.startWatched(platform_.processes.executablePath(),
                                                       {"?" + state_.datPath});
  } catch (const Failure& failure) {
    platform_.messages.message("Error",
                               "The build could not be started: " + failure.description() +
                                   "\r\nNothing was changed. Check that the program file is "
                                   "still there and may be run, then build again.",
                               Icon::Error);
    return;
  }
  started.path = state_.datPath;
  builds_.push_back(std::move(started));
  if (watchBuild) watchBuild(*builds_.back().process);
}

void FrmMain::buildEnded(WatchedProcess& build) {
  std::optional<int> status = build.exitStatus();
  if (!status) return;  // still running: it is watched no more, and says nothing
  auto found = std::find_if(builds_.begin(), builds_.end(),
                            [&](const StartedBuild& b) { return b.process.get() == &build; });
  if (found == builds_.end()) return;
  StartedBuild ended = std::move(*found);
  builds_.erase(found);
  if (*status == 0) {
    platform_.messages.message("yay", "Building complete", Icon::Information);
    return;
  }
  // A failed build wrote its report and asked about it itself.
  if (*status == 1 && (!ended.reports || reportsNow() != ended.reports)) return;
  bool windows = platform_.files.separator() == '\\';
  platform_.messages.message(
      "Error",
      "A build of \"" + ended.path + "\" ended with status " + std::to_string(*status) +
          " before it completed: " + whyEnded(*status, windows) +
          ".\r\nThe VFS table and the mirror folders may not be up to date. Build again; if it "
          "ends the same way, run the build in a terminal (kelvane \"?" +
          ended.path + "\") to see its messages.",
      Icon::Error);
}

}  // namespace kelvane
