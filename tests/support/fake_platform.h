#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/failure.h"
#ifdef _WIN32
#include "win/win_platform.h"
#else
#include "posix/posix_platform.h"
#endif

#ifdef _WIN32
namespace kelvane {
using PosixPlatform = WinPlatform;
}  // namespace kelvane
#endif

namespace kelvane::testing {

// The operations a test can make fail.
enum class Op {
  List,
  Exists,
  FileTest,
  FolderTest,
  CreateFolder,
  ResolvePath,
  Identity,
  OpenFolder,
  Leave,
  Delete,
  RemoveFolder,
  Open,
  Read,
  Write,
  Rename,
  Lock,
  Start,
};

const char* opName(Op op);

// The real file system under a test's temporary folder, with the person at the screen
// played by the test: messages are recorded, questions and the save dialog answer as told,
// started processes are recorded (and run only when asked), and any operation can be made
// to fail.
class FakePlatform : public PosixPlatform {
 public:
  struct Message {
    std::string title;
    std::string text;
    Icon icon;
    bool question;
  };
  struct Started {
    std::string program;
    std::vector<std::string> args;
  };

  // --- Faults ---
  // Fails the k-th operation counted from now (1-based), whatever its kind.
  void failAt(long k) { failAt_ = operations_ + k; }
  // Fails the n-th operation of this kind counted from now (1-based).
  void failOn(Op op, int nth = 1, int err = EIO) { faults_[op] = {counts_[op] + nth, err}; }
  // Called before every operation; a hook may change the disk (to race the program).
  std::function<void(Op, const std::string&)> beforeOperation;
  long operations() const { return operations_; }
  // Input files open now, and when the last output was put in place (Windows will not
  // replace a file that is still open).
  int inputsOpen = 0;
  int inputsOpenAtCommit = -1;
  int count(Op op) const {
    auto it = counts_.find(op);
    return it == counts_.end() ? 0 : it->second;
  }

  // --- The person ---
  std::vector<bool> answers;             // taken in order by question(); No when none left
  std::vector<std::string> saveChoices;  // taken in order by saveDialog(); "" when none left
  std::vector<Message> messages;
  std::vector<std::string> warnings;     // lines the build wrote on standard error
  std::vector<std::string> saveDialogs;  // "title|filter|folder" of every dialog shown
  std::vector<Started> started;
  // Called while each message, question or save dialog is up, before it is answered (a
  // window test shows a real box there, which takes the activation from the window).
  std::function<void()> whileShown;
  bool runStarted = false;  // really start the recorded processes
  int endedStatus = 0;      // what a watched process not really started ended with
  std::string programFolderOverride;
  std::string executableOverride;
  std::vector<std::string> mountsBelowLinkRoot;  // added to what the system reports
  // Plays a system whose local encoding is Latin-1 (as Windows' code page 1252 nearly is)
  // and whose names are UTF-8, so that the choice of the table's encoding shows on Linux.
  bool latin1LocalText = false;

  std::string fromLocalText(const std::string& bytes) const override;
  std::optional<std::string> toLocalText(const std::string& text) const override;

  std::vector<DirEntry> listFolder(const std::string& pattern) override;
  bool exists(const std::string& pattern) override;
  bool fileExists(const std::string& path) override;
  bool folderExists(const std::string& path) override;
  std::string resolvedPath(const std::string& path) override;
  std::vector<FileIdentity> chainOf(const std::string& path, bool followLast) override;
  std::unique_ptr<FolderTree> openFolderTree(const std::string& path) override;
  std::unique_ptr<FolderTree> createFolderTree(const std::string& path) override;
  std::string readFile(const std::string& path) override;
  std::string readTrustedFile(const std::string& path) override;
  void writeFile(const std::string& path, std::string_view bytes) override;
  std::unique_ptr<InputFile> openInput(const std::string& path) override;
  std::unique_ptr<OutputFile> createOutput(const std::string& path) override;
  void checkOutput(const std::string& path) override;
  std::unique_ptr<PathLock> openLock(const std::string& path, bool shared) override;
  std::string programFolder() override;
  std::string executablePath() override;
  void startDetached(const std::string& program, const std::vector<std::string>& args) override;
  std::unique_ptr<WatchedProcess> startWatched(const std::string& program,
                                               const std::vector<std::string>& args) override;
  void warn(const std::string& text) override;
  void message(const std::string& title, const std::string& text, Icon icon) override;
  bool question(const std::string& title, const std::string& text, Icon icon) override;
  std::string saveDialog(const std::string& title, const std::string& filter,
                         const std::string& initialFolder) override;
  int runWindow(FrmMain& form) override;

  // Counts the operation and throws if a fault is due. Public so that wrapped output
  // files can use it.
  void check(Op op, const std::string& path);

  // --- The user's folders ---
  // Folders taken as not writable whatever their permissions (tests run as root, whom
  // permissions do not stop).
  std::vector<std::string> unwritableFolders;
  // The state folder; without one, asking for it fails, so no test writes to a real home.
  std::string stateFolderOverride;
  bool folderWritable(const std::string& folder) override;
  std::string userStateFolder() override;
  // Counted and made to fail as Op::CreateFolder.
  void createPrivateFolders(const std::string& folder) override;
  // Counted and made to fail as Op::List.
  bool isSystemProgramFolder(const std::string& folder) override;
  // Counted and made to fail as Op::Open, Op::Write and Op::Rename, in that order.
  void writeNewFile(const std::string& path, std::string_view bytes) override;

 private:
  struct Fault {
    int nth;
    int err;
  };
  long operations_ = 0;
  long failAt_ = -1;
  std::map<Op, int> counts_;
  std::map<Op, Fault> faults_;
};

}  // namespace kelvane::testing
