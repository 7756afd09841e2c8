#include "tests/support/fake_platform.h"

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
    real_->commit();
  }

 private:
  FakePlatform& platform_;
  std::string path_;
  std::unique_ptr<OutputFile> real_;
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
void FakePlatform::createFolder(const std::string& path) {
  check(Op::CreateFolder, path);
  PosixPlatform::createFolder(path);
}
std::string FakePlatform::resolvedPath(const std::string& path) {
  check(Op::ResolvePath, path);
  return PosixPlatform::resolvedPath(path);
}
std::vector<DirEntry> FakePlatform::listForRemoval(const std::string& root,
                                                   const std::string& folder) {
  check(Op::List, folder);
  return PosixPlatform::listForRemoval(root, folder);
}
void FakePlatform::deleteForRemoval(const std::string& root, const std::string& path) {
  check(Op::Delete, path);
  PosixPlatform::deleteForRemoval(root, path);
}
void FakePlatform::removeFolderForRemoval(const std::string& root, const std::string& path) {
  check(Op::RemoveFolder, path);
  PosixPlatform::removeFolderForRemoval(root, path);
}
std::string FakePlatform::readFile(const std::string& path) {
  check(Op::Open, path);
  check(Op::Read, path);
  return PosixPlatform::readFile(path);
}
void FakePlatform::writeFile(const std::string& path, std::string_view bytes) {
  check(Op::Open, path);
  check(Op::Write, path);
  PosixPlatform::writeFile(path, bytes);
}
std::unique_ptr<OutputFile> FakePlatform::createOutput(const std::string& path) {
  check(Op::Open, path);
  return std::make_unique<CheckedOutput>(*this, path, PosixPlatform::createOutput(path));
}
std::unique_ptr<BuildLock> FakePlatform::lockBuild(const std::string& path) {
  check(Op::Lock, path);
  return PosixPlatform::lockBuild(path);
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
void FakePlatform::message(const std::string& title, const std::string& text, Icon icon) {
  messages.push_back({title, text, icon, false});
}
bool FakePlatform::question(const std::string& title, const std::string& text, Icon icon) {
  messages.push_back({title, text, icon, true});
  if (answers.empty()) return false;
  bool answer = answers.front();
  answers.erase(answers.begin());
  return answer;
}
std::string FakePlatform::saveDialog(const std::string& title, const std::string& filter,
                                     const std::string& initialFolder) {
  saveDialogs.push_back(title + "|" + filter + "|" + initialFolder);
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

}  // namespace kelvane::testing
