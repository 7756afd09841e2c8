#include "tests/support/faulty_files.h"

#include <algorithm>

#include "base/failure.h"

namespace kelvane::testing {
namespace {

// Passes writes and the commit through the fake so that both can be made to fail; a table's
// commit notes the inputs still open then, a record's does not.
class CheckedOutput : public OutputFile {
 public:
  CheckedOutput(FaultyFiles& files, std::string path, std::unique_ptr<OutputFile> real,
                bool table = true)
      : files_(files), path_(std::move(path)), real_(std::move(real)), table_(table) {}
  void write(std::string_view bytes) override {
    files_.faults().check(Op::Write, path_);
    real_->write(bytes);
  }
  void commit() override {
    files_.faults().check(Op::Rename, path_);
    if (table_) files_.inputsOpenAtCommit = files_.inputsOpen;
    real_->commit();
  }

 private:
  FaultyFiles& files_;
  std::string path_;
  std::unique_ptr<OutputFile> real_;
  bool table_;
};

// Passes every step of the walk through the fake, named by the path it acts on.
class CheckedTree : public FolderTree {
 public:
  CheckedTree(FaultyFiles& files, std::unique_ptr<FolderTree> real)
      : files_(files), real_(std::move(real)) {}
  std::vector<FileIdentity> chain() override {
    files_.faults().check(Op::Identity, real_->currentPath());
    return real_->chain();
  }
  std::vector<std::string> mountsBelow() override {
    auto mounts = real_->mountsBelow();
    for (const auto& mount : files_.mountsBelowLinkRoot) mounts.push_back(mount);
    return mounts;
  }
  std::vector<DirEntry> list(bool& holdsUnlisted) override {
    files_.faults().check(Op::List, real_->currentPath());
    return real_->list(holdsUnlisted);
  }
  void enter(const std::string& name) override {
    files_.faults().check(Op::OpenFolder, real_->currentPath() + name + files_.separator());
    real_->enter(name);
  }
  void leave() override {
    files_.faults().check(Op::Leave, real_->currentPath());
    real_->leave();
  }
  // The real tree asks checkRemoval's question as it deletes.
  void deleteFile(const std::string& name) override {
    files_.faults().check(Op::FileTest, real_->currentPath() + name);
    files_.faults().check(Op::Delete, real_->currentPath() + name);
    real_->deleteFile(name);
  }
  void checkRemoval(const std::string& name) override {
    files_.faults().check(Op::FileTest, real_->currentPath() + name);
    real_->checkRemoval(name);
  }
  void removeFolder(const std::string& name) override {
    files_.faults().check(Op::RemoveFolder, real_->currentPath() + name);
    real_->removeFolder(name);
  }
  // The real tree looks at from once (canReuseFolder's question), then renames.
  bool reuseFolder(const std::string& from, const std::string& to, bool toFree) override {
    files_.faults().check(Op::FolderTest, real_->currentPath() + from);
    files_.faults().check(Op::Rename, real_->currentPath() + from);
    return real_->reuseFolder(from, to, toFree);
  }
  void startChanges() override { real_->startChanges(); }
  void finishChanges(std::vector<FolderNotRenamed>& notRenamed) override {
    real_->finishChanges(notRenamed);
  }
  bool canReuseFolder(const std::string& from, const std::string& to, bool toFree) override {
    files_.faults().check(Op::FolderTest, real_->currentPath() + from);
    return real_->canReuseFolder(from, to, toFree);
  }
  bool isOwnFolder(const std::string& name) override {
    files_.faults().check(Op::FolderTest, real_->currentPath() + name);
    return real_->isOwnFolder(name);
  }
  bool lookAtFolder(const std::string& name, FolderStamp& seen) override {
    files_.faults().check(Op::FolderTest, real_->currentPath() + name);
    bool own = real_->lookAtFolder(name, seen);
    if (files_.playStamps) files_.playStamps(seen);
    return own;
  }
  // Each name as lookAtFolder would take it, the real looks taken together as the real tree
  // takes them.
  void lookAtFolders(const std::vector<std::string_view>& names, std::vector<FolderLook>& looks,
                     bool unchangedSinceAhead) override {
    real_->lookAtFolders(names, looks, unchangedSinceAhead);
    for (size_t i = 0; i < names.size(); ++i) {
      try {
        files_.faults().check(Op::FolderTest, real_->currentPath() + std::string(names[i]));
      } catch (...) {
        looks[i] = {{}, false, std::current_exception()};
        continue;
      }
      if (files_.playStamps && !looks[i].failed) files_.playStamps(looks[i].seen);
    }
  }
  void lookAhead(std::vector<FoldersAhead> folders) override {
    real_->lookAhead(std::move(folders));
  }
  void lookAtSubfolders(const std::string& relative, const std::vector<std::string_view>& names,
                        const std::function<void(size_t, const FolderStamp&)>& take) override {
    files_.faults().check(Op::FolderTest, real_->currentPath() + relative);
    real_->lookAtSubfolders(relative, names, [&](size_t i, const FolderStamp& seen) {
      FolderStamp played = seen;
      if (files_.playStamps) files_.playStamps(played);
      take(i, played);
    });
  }
  bool holdsFolder(const std::string& relative) override {
    files_.faults().check(Op::FolderTest, real_->currentPath() + relative);
    return real_->holdsFolder(relative);
  }
  bool makeFolder(const std::string& relative) override {
    files_.faults().check(Op::CreateFolder, real_->currentPath() + relative);
    return real_->makeFolder(relative);
  }
  std::string currentPath() override { return real_->currentPath(); }

 private:
  FaultyFiles& files_;
  std::unique_ptr<FolderTree> real_;
};

// The record's bytes through the fake, read twice as the build reads them.
class CheckedRecordInput : public RecordInput {
 public:
  CheckedRecordInput(FaultyFiles& files, std::string path, std::unique_ptr<RecordInput> real)
      : files_(files), path_(std::move(path)), real_(std::move(real)) {}
  size_t read(char* buffer, size_t size) override {
    files_.faults().check(Op::Read, path_);
    return real_->read(buffer, size);
  }
  void restart() override { real_->restart(); }

 private:
  FaultyFiles& files_;
  std::string path_;
  std::unique_ptr<RecordInput> real_;
};

class CheckedInput : public InputFile {
 public:
  CheckedInput(FaultyFiles& files, std::string path, std::unique_ptr<InputFile> real)
      : files_(files), path_(std::move(path)), real_(std::move(real)) {
    ++files_.inputsOpen;
  }
  ~CheckedInput() override { --files_.inputsOpen; }
  size_t read(char* buffer, size_t size) override {
    files_.faults().check(Op::Read, path_);
    return real_->read(buffer, size);
  }

 private:
  FaultyFiles& files_;
  std::string path_;
  std::unique_ptr<InputFile> real_;
};

}  // namespace

std::vector<DirEntry> FaultyFiles::listFolder(const std::string& pattern) {
  faults_.check(Op::List, pattern);
  return real_.listFolder(pattern);
}
std::vector<DirEntry> FaultyFiles::listStampedFolder(const std::string& pattern,
                                                     FolderStamp& seen) {
  faults_.check(Op::List, pattern);
  auto entries = real_.listStampedFolder(pattern, seen);
  if (playStamps) playStamps(seen);
  return entries;
}
FolderStamp FaultyFiles::folderStamp(const std::string& pattern) {
  faults_.check(Op::FolderTest, pattern);
  FolderStamp seen = real_.folderStamp(pattern);
  if (playStamps) playStamps(seen);
  return seen;
}
std::unique_ptr<RecordInput> FaultyFiles::openRecord(const std::string& path) {
  faults_.check(Op::Open, path);
  auto real = real_.openRecord(path);
  if (!real) return nullptr;
  return std::make_unique<CheckedRecordInput>(*this, path, std::move(real));
}
std::unique_ptr<OutputFile> FaultyFiles::createRecord(const std::string& path) {
  faults_.check(Op::Open, path);
  auto real = real_.createRecord(path);
  if (!real) return nullptr;
  return std::make_unique<CheckedOutput>(*this, path, std::move(real), false);
}
bool FaultyFiles::exists(const std::string& pattern) {
  faults_.check(Op::Exists, pattern);
  return real_.exists(pattern);
}
bool FaultyFiles::fileExists(const std::string& path) {
  faults_.check(Op::FileTest, path);
  return real_.fileExists(path);
}
bool FaultyFiles::folderExists(const std::string& path) {
  faults_.check(Op::FolderTest, path);
  return real_.folderExists(path);
}
std::string FaultyFiles::resolvedPath(const std::string& path) {
  faults_.check(Op::ResolvePath, path);
  return real_.resolvedPath(path);
}
std::vector<FileIdentity> FaultyFiles::chainOf(const std::string& path, bool followLast) {
  faults_.check(Op::Identity, path);
  return real_.chainOf(path, followLast);
}
std::unique_ptr<FolderTree> FaultyFiles::openFolderTree(const std::string& path) {
  faults_.check(Op::OpenFolder, path);
  auto real = real_.openFolderTree(path);
  if (!real) return nullptr;
  return std::make_unique<CheckedTree>(*this, std::move(real));
}
std::unique_ptr<FolderTree> FaultyFiles::createFolderTree(const std::string& path) {
  faults_.check(Op::CreateFolder, path);
  return std::make_unique<CheckedTree>(*this, real_.createFolderTree(path));
}
void FaultyFiles::checkFolderCreation(const std::string& path) {
  faults_.check(Op::CreateFolder, path);
  real_.checkFolderCreation(path);
}
std::string FaultyFiles::readFile(const std::string& path) {
  faults_.check(Op::Open, path);
  faults_.check(Op::Read, path);
  return real_.readFile(path);
}
std::string FaultyFiles::readTrustedFile(const std::string& path) {
  faults_.check(Op::Open, path);
  faults_.check(Op::Read, path);
  return real_.readTrustedFile(path);
}
void FaultyFiles::writeFile(const std::string& path, std::string_view bytes) {
  faults_.check(Op::Open, path);
  faults_.check(Op::Write, path);
  real_.writeFile(path, bytes);
}
std::unique_ptr<InputFile> FaultyFiles::openInput(const std::string& path) {
  faults_.check(Op::Open, path);
  return std::make_unique<CheckedInput>(*this, path, real_.openInput(path));
}
std::unique_ptr<OutputFile> FaultyFiles::createOutput(const std::string& path) {
  faults_.check(Op::Open, path);
  return std::make_unique<CheckedOutput>(*this, path, real_.createOutput(path));
}
void FaultyFiles::checkOutput(const std::string& path) {
  faults_.check(Op::Open, path);
  real_.checkOutput(path);
}
std::vector<std::unique_ptr<PathLock>> FaultyFiles::openLocks(const std::string& path, Guarded what,
                                                              bool shared) {
  faults_.check(Op::Lock, path);
  return real_.openLocks(path, what, shared);
}
bool FaultyFiles::folderWritable(const std::string& folder) {
  if (std::find(unwritableFolders.begin(), unwritableFolders.end(), folder) !=
      unwritableFolders.end())
    return false;
  return real_.folderWritable(folder);
}
std::string FaultyFiles::userStateFolder() { return real_.userStateFolder(); }
void FaultyFiles::createPrivateFolders(const std::string& folder) {
  faults_.check(Op::CreateFolder, folder);
  real_.createPrivateFolders(folder);
}
bool FaultyFiles::isSystemProgramFolder(const std::string& folder,
                                        const std::string& runningExecutable) {
  faults_.check(Op::List, folder);
  return real_.isSystemProgramFolder(folder, runningExecutable);
}
void FaultyFiles::writeNewFile(const std::string& path, std::string_view bytes) {
  faults_.check(Op::Open, path);
  faults_.check(Op::Write, path);
  faults_.check(Op::Rename, path);
  real_.writeNewFile(path, bytes);
}

std::string FaultyFiles::fromLocalText(const std::string& bytes) const {
  if (!latin1LocalText) return real_.fromLocalText(bytes);
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

std::optional<std::string> FaultyFiles::toLocalText(const std::string& text) const {
  if (!latin1LocalText) return real_.toLocalText(text);
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
