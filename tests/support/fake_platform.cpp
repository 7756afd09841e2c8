#include "tests/support/fake_platform.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace kelvane::testing {

const char* opName(Op op) {
  switch (op) {
    case Op::List:
      return "list folder";
    case Op::Exists:
      return "existence test";
    case Op::FileTest:
      return "file test";
    case Op::FolderTest:
      return "folder test";
    case Op::CreateFolder:
      return "create folder";
    case Op::ResolvePath:
      return "resolve path";
    case Op::Identity:
      return "identity";
    case Op::OpenFolder:
      return "open folder";
    case Op::Leave:
      return "leave folder";
    case Op::Delete:
      return "delete file";
    case Op::RemoveFolder:
      return "remove folder";
    case Op::Open:
      return "open";
    case Op::Read:
      return "read";
    case Op::Write:
      return "write";
    case Op::Rename:
      return "rename";
    case Op::Lock:
      return "lock";
    case Op::Start:
      return "start process";
  }
  return "?";
}

void FakePlatform::check(Op op, const std::string& path) {
  if (beforeOperation) beforeOperation(op, path);
  ++operations_;
  int n = ++counts_[op];
  if (operations_ == failAt_)
    throw Failure(EIO, std::string("Injected fault in ") + opName(op) + " \"" + path + "\"",
                  opName(op));
  auto fault = faults_.find(op);
  if (fault != faults_.end() && fault->second.nth == n)
    throw systemFailure(fault->second.err, std::string("Injected fault in ") + opName(op), path,
                        opName(op));
}

namespace {

// Passes writes and the commit through the fake so that both can be made to fail.
class CheckedOutput : public OutputFile {
 public:
  CheckedOutput(FakePlatform& platform, std::string path, std::unique_ptr<OutputFile> real)
      : platform_(platform), path_(std::move(path)), real_(std::move(real)) {}
  void write(std::string_view bytes) override {
    platform_.check(Op::Write, path_);
    real_->write(bytes);
  }
  void commit() override {
    platform_.check(Op::Rename, path_);
    platform_.inputsOpenAtCommit = platform_.inputsOpen;
    real_->commit();
  }

 private:
  FakePlatform& platform_;
  std::string path_;
  std::unique_ptr<OutputFile> real_;
};

// Passes every step of the walk through the fake, named by the path it acts on.
class CheckedTree : public FolderTree {
 public:
  CheckedTree(FakePlatform& platform, std::unique_ptr<FolderTree> real)
      : platform_(platform), real_(std::move(real)) {}
  std::vector<FileIdentity> chain() override {
    platform_.check(Op::Identity, real_->currentPath());
    return real_->chain();
  }
  std::vector<std::string> mountsBelow() override {
    auto mounts = real_->mountsBelow();
    for (const auto& mount : platform_.mountsBelowLinkRoot) mounts.push_back(mount);
    return mounts;
  }
  std::vector<DirEntry> list(bool& holdsUnlisted) override {
    platform_.check(Op::List, real_->currentPath());
    return real_->list(holdsUnlisted);
  }
  void enter(const std::string& name) override {
    platform_.check(Op::OpenFolder, real_->currentPath() + name + platform_.separator());
    real_->enter(name);
  }
  void leave() override {
    platform_.check(Op::Leave, real_->currentPath());
    real_->leave();
  }
  void deleteFile(const std::string& name) override {
    platform_.check(Op::Delete, real_->currentPath() + name);
    real_->deleteFile(name);
  }
  void checkRemoval(const std::string& name) override {
    platform_.check(Op::FileTest, real_->currentPath() + name);
    real_->checkRemoval(name);
  }
  void removeFolder(const std::string& name) override {
    platform_.check(Op::RemoveFolder, real_->currentPath() + name);
    real_->removeFolder(name);
  }
  bool reuseFolder(const std::string& from, const std::string& to) override {
    platform_.check(Op::Rename, real_->currentPath() + from);
    return real_->reuseFolder(from, to);
  }
  bool canReuseFolder(const std::string& from, const std::string& to, bool toGoes) override {
    platform_.check(Op::FolderTest, real_->currentPath() + from);
    return real_->canReuseFolder(from, to, toGoes);
  }
  bool isOwnFolder(const std::string& name) override {
    platform_.check(Op::FolderTest, real_->currentPath() + name);
    return real_->isOwnFolder(name);
  }
  bool holdsFolder(const std::string& relative) override {
    platform_.check(Op::FolderTest, real_->currentPath() + relative);
    return real_->holdsFolder(relative);
  }
  bool makeFolder(const std::string& relative) override {
    platform_.check(Op::CreateFolder, real_->currentPath() + relative);
    return real_->makeFolder(relative);
  }
  std::string currentPath() override { return real_->currentPath(); }

 private:
  FakePlatform& platform_;
  std::unique_ptr<FolderTree> real_;
};

class CheckedInput : public InputFile {
 public:
  CheckedInput(FakePlatform& platform, std::string path, std::unique_ptr<InputFile> real)
      : platform_(platform), path_(std::move(path)), real_(std::move(real)) {
    ++platform_.inputsOpen;
  }
  ~CheckedInput() override { --platform_.inputsOpen; }
  size_t read(char* buffer, size_t size) override {
    platform_.check(Op::Read, path_);
    return real_->read(buffer, size);
  }

 private:
  FakePlatform& platform_;
  std::string path_;
  std::unique_ptr<InputFile> real_;
};

}  // namespace

std::vector<DirEntry> FakePlatform::listFolder(const std::string& pattern) {
  check(Op::List, pattern);
  return PosixPlatform::listFolder(pattern);
}
bool FakePlatform::exists(const std::string& pattern) {
  check(Op::Exists, pattern);
  return PosixPlatform::exists(pattern);
}
bool FakePlatform::fileExists(const std::string& path) {
  check(Op::FileTest, path);
  return PosixPlatform::fileExists(path);
}
bool FakePlatform::folderExists(const std::string& path) {
  check(Op::FolderTest, path);
  return PosixPlatform::folderExists(path);
}
std::string FakePlatform::resolvedPath(const std::string& path) {
  check(Op::ResolvePath, path);
  return PosixPlatform::resolvedPath(path);
}
std::vector<FileIdentity> FakePlatform::chainOf(const std::string& path, bool followLast) {
  check(Op::Identity, path);
  return PosixPlatform::chainOf(path, followLast);
}
std::unique_ptr<FolderTree> FakePlatform::openFolderTree(const std::string& path) {
  check(Op::OpenFolder, path);
  auto real = PosixPlatform::openFolderTree(path);
  if (!real) return nullptr;
  return std::make_unique<CheckedTree>(*this, std::move(real));
}
std::unique_ptr<FolderTree> FakePlatform::createFolderTree(const std::string& path) {
  check(Op::CreateFolder, path);
  return std::make_unique<CheckedTree>(*this, PosixPlatform::createFolderTree(path));
}
std::string FakePlatform::readFile(const std::string& path) {
  check(Op::Open, path);
  check(Op::Read, path);
  return PosixPlatform::readFile(path);
}
std::string FakePlatform::readTrustedFile(const std::string& path) {
  check(Op::Open, path);
  check(Op::Read, path);
  return PosixPlatform::readTrustedFile(path);
}
void FakePlatform::writeFile(const std::string& path, std::string_view bytes) {
  check(Op::Open, path);
  check(Op::Write, path);
  PosixPlatform::writeFile(path, bytes);
}
std::unique_ptr<InputFile> FakePlatform::openInput(const std::string& path) {
  check(Op::Open, path);
  return std::make_unique<CheckedInput>(*this, path, PosixPlatform::openInput(path));
}
std::unique_ptr<OutputFile> FakePlatform::createOutput(const std::string& path) {
  check(Op::Open, path);
  return std::make_unique<CheckedOutput>(*this, path, PosixPlatform::createOutput(path));
}
void FakePlatform::checkOutput(const std::string& path) {
  check(Op::Open, path);
  PosixPlatform::checkOutput(path);
}
std::unique_ptr<PathLock> FakePlatform::openLock(const std::string& path, bool shared) {
  check(Op::Lock, path);
  return PosixPlatform::openLock(path, shared);
}
std::string FakePlatform::programFolder() {
  return programFolderOverride.empty() ? PosixPlatform::programFolder() : programFolderOverride;
}
std::string FakePlatform::executablePath() {
  return executableOverride.empty() ? PosixPlatform::executablePath() : executableOverride;
}
void FakePlatform::startDetached(const std::string& program, const std::vector<std::string>& args) {
  check(Op::Start, program);
  started.push_back({program, args});
  if (runStarted) PosixPlatform::startDetached(program, args);
}
namespace {

// A process that has ended already: its end handle is ready at once (on Linux a pipe whose
// writing end is closed, on Windows an event that is set).
class EndedProcess : public Platform::WatchedProcess {
 public:
#ifdef _WIN32
  explicit EndedProcess(int status)
      : status_(status),
        end_(reinterpret_cast<std::intptr_t>(::CreateEventW(nullptr, TRUE, TRUE, nullptr))) {}
  ~EndedProcess() override { ::CloseHandle(reinterpret_cast<HANDLE>(end_)); }
#else
  explicit EndedProcess(int status) : status_(status) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    ::close(ends[1]);
    end_ = ends[0];
  }
  ~EndedProcess() override { ::close(static_cast<int>(end_)); }
#endif
  std::optional<int> exitStatus() override { return status_; }
  std::intptr_t endHandle() const override { return end_; }

 private:
  int status_;
  std::intptr_t end_ = -1;
};

}  // namespace

std::unique_ptr<Platform::WatchedProcess> FakePlatform::startWatched(
    const std::string& program, const std::vector<std::string>& args) {
  check(Op::Start, program);
  started.push_back({program, args});
  if (runStarted) return PosixPlatform::startWatched(program, args);
  return std::make_unique<EndedProcess>(endedStatus);
}
void FakePlatform::warn(const std::string& text) { warnings.push_back(text); }
void FakePlatform::message(const std::string& title, const std::string& text, Icon icon) {
  messages.push_back({title, text, icon, false});
  if (whileShown) whileShown();
}
bool FakePlatform::question(const std::string& title, const std::string& text, Icon icon) {
  messages.push_back({title, text, icon, true});
  if (whileShown) whileShown();
  if (answers.empty()) return false;
  bool answer = answers.front();
  answers.erase(answers.begin());
  return answer;
}
std::string FakePlatform::saveDialog(const std::string& title, const std::string& filter,
                                     const std::string& initialFolder) {
  saveDialogs.push_back(title + "|" + filter + "|" + initialFolder);
  if (whileShown) whileShown();
  if (saveChoices.empty()) return {};
  std::string choice = saveChoices.front();
  saveChoices.erase(saveChoices.begin());
  return choice;
}
int FakePlatform::runWindow(FrmMain&) { return 0; }

bool FakePlatform::folderWritable(const std::string& folder) {
  if (std::find(unwritableFolders.begin(), unwritableFolders.end(), folder) !=
      unwritableFolders.end())
    return false;
  return PosixPlatform::folderWritable(folder);
}
std::string FakePlatform::userStateFolder() {
  if (stateFolderOverride.empty())
    throw Failure(ENOENT, "No state folder in this test", "userStateFolder");
  return stateFolderOverride;
}
void FakePlatform::createPrivateFolders(const std::string& folder) {
  check(Op::CreateFolder, folder);
  PosixPlatform::createPrivateFolders(folder);
}
bool FakePlatform::isSystemProgramFolder(const std::string& folder) {
  check(Op::List, folder);
  return PosixPlatform::isSystemProgramFolder(folder);
}
void FakePlatform::writeNewFile(const std::string& path, std::string_view bytes) {
  check(Op::Open, path);
  check(Op::Write, path);
  check(Op::Rename, path);
  PosixPlatform::writeNewFile(path, bytes);
}

std::string FakePlatform::fromLocalText(const std::string& bytes) const {
  if (!latin1LocalText) return PosixPlatform::fromLocalText(bytes);
  std::string text;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else {
      text += static_cast<char>(0xC0 | (c >> 6));
      text += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return text;
}

std::optional<std::string> FakePlatform::toLocalText(const std::string& text) const {
  if (!latin1LocalText) return PosixPlatform::toLocalText(text);
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      bytes += static_cast<char>(c);
    } else if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size()) {
      bytes += static_cast<char>(((c & 0x03) << 6) | (text[++i] & 0x3F));
    } else {
      return std::nullopt;  // past U+00FF
    }
  }
  return bytes;
}

}  // namespace kelvane::testing
