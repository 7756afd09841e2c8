#include "posix/posix_table_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "base/failure.h"
#include "posix/posix_files.h"
#include "posix/posix_same_bytes.h"

namespace kelvane::posix {

void (*tableFaultHook)(const char* step) = nullptr;
TableCalls tableCalls;

namespace {

const char* const kSource = "journal";
constexpr size_t kPiece = 64 * 1024;
const std::string_view kTrailer = "\nend\n";

void syncFile(int fd, const std::string& named, const char* step) {
  tableStep(step);
  if (tableCalls.fsync(fd) != 0) throw systemFailure(errno, "Cannot write file", named, step);
}

// Copies length bytes of from, starting at offset from, to the end of to, in pieces.
void copyBytes(int from, off_t at, off_t length, int to, const std::string& named) {
  std::string piece(kPiece, '\0');
  while (length > 0) {
    size_t want = static_cast<size_t>(std::min<off_t>(length, kPiece));
    size_t n = readAt(from, piece.data(), want, at, named);
    if (n == 0) throw systemFailure(EIO, "Cannot read file (it ended early)", named, "read");
    tableStep("write");
    writeAll(to, std::string_view(piece.data(), n), named, "write");
    at += static_cast<off_t>(n);
    length -= static_cast<off_t>(n);
  }
}

// The table becomes the length bytes of from at offset at: written from its start, cut to
// that length last (so that a full disk leaves more, never less), then synced.
void writeOver(int table, int from, off_t at, off_t length, const std::string& named) {
  if (::lseek(table, 0, SEEK_SET) != 0)
    throw systemFailure(errno, "Cannot write file", named, "seek");
  copyBytes(from, at, length, table, named);
  tableStep("truncate");
  if (::ftruncate(table, length) != 0)
    throw systemFailure(errno, "Cannot write file", named, "truncate");
  syncFile(table, named, "fsync");
}

std::string header(const struct stat& st) {
  char text[96];
  std::snprintf(text, sizeof text, "kelvane table journal 1\n%llu %llu %lld\n",
                static_cast<unsigned long long>(st.st_dev),
                static_cast<unsigned long long>(st.st_ino), static_cast<long long>(st.st_size));
  return text;
}

void removeJournal(const JournalFolder& folder, const std::string& name) {
  tableStep("remove journal");
  if (::unlinkat(folder.fd.get(), name.c_str(), 0) != 0 && errno != ENOENT)
    throw systemFailure(errno, "Cannot remove the journal", folder.pathOf(name), kSource);
  syncFolder(folder.fd.get(), folder.path, "fsync journal folder");
}

class JournaledOutput : public OutputFile {
 public:
  JournaledOutput(Descriptor table, std::string named, JournalFolder folder, Descriptor spool)
      : table_(std::move(table)),
        named_(std::move(named)),
        folder_(std::move(folder)),
        spool_(std::move(spool)) {}

  void write(std::string_view bytes) override {
    if (buffer_.size() + bytes.size() > kPiece) flush();
    buffer_.append(bytes);
  }

  void commit() override {
    flush();
    if (sameBytes(spool_.get(), table_.get(), named_)) return;  // the table keeps its time
    struct stat st;
    if (::fstat(table_.get(), &st) != 0)
      throw systemFailure(errno, "Cannot look at", named_, kSource);
    // First the old bytes, whole and synced, where the next build finds them. Any journal of
    // this table was put back when the build began, so one there now is not this build's.
    name_ = journalName(st);
    std::string shown = folder_.pathOf(name_);
    tableStep("create journal");
    Descriptor journal(::openat(folder_.fd.get(), name_.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    // The next build takes a journal of mode 0600 only, whatever this process's mask.
    if (journal.get() < 0 || ::fchmod(journal.get(), 0600) != 0)
      throw systemFailure(errno, "Cannot make the journal", shown, kSource);
    tableStep("write");
    writeAll(journal.get(), header(st), shown, "write");
    copyBytes(table_.get(), 0, st.st_size, journal.get(), named_);
    tableStep("write");
    writeAll(journal.get(), kTrailer, shown, "write");
    syncFile(journal.get(), shown, "fsync journal");
    syncFolder(folder_.fd.get(), folder_.path, "fsync journal folder");
    // Then the new bytes, with the room they need taken first where the system can.
    off_t length = sizeOf(spool_.get(), named_, kSource);
    tableStep("allocate");
    if (length > 0 && tableCalls.fallocate(table_.get(), FALLOC_FL_KEEP_SIZE, 0, length) != 0 &&
        errno != EOPNOTSUPP) {
      int err = errno;
      removeJournal(folder_, name_);
      throw systemFailure(err, "Cannot write file", named_, "allocate");
    }
    try {
      writeOver(table_.get(), spool_.get(), 0, length, named_);
    } catch (const Failure& failed) {
      putBack(failed);
      throw;
    }
    removeJournal(folder_, name_);
  }

 private:
  void flush() {
    tableStep("spool");
    writeAll(spool_.get(), buffer_, named_, "write");
    buffer_.clear();
  }

  void putBack(const Failure& failed) {
    try {
      putBackFromJournal(
          folder_,
          Descriptor(::openat(folder_.fd.get(), name_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)),
          table_.get(), named_);
    } catch (const Failure& again) {
      throw Failure(failed.number(),
                    failed.description() + "; putting its old bytes back failed too (" +
                        again.description() + ")",
                    failed.source(),
                    "The old table is kept in \"" + folder_.pathOf(name_) +
                        "\": the next build puts it back before anything else");
    }
  }

  Descriptor table_;
  std::string named_;
  JournalFolder folder_;
  std::string name_;  // of the journal in folder_, once it is made
  Descriptor spool_;
  std::string buffer_;
};

}  // namespace

void syncFolder(int fd, const std::string& path, const char* step) {
  tableStep(step);
  if (tableCalls.fsync(fd) != 0 && errno != EINVAL)
    throw systemFailure(errno, "Cannot write file", path, step);
}

void putBackFromJournal(const JournalFolder& folder, Descriptor fd, int table,
                        const std::string& named) {
  struct stat st;
  if (::fstat(table, &st) != 0) throw systemFailure(errno, "Cannot look at", named, kSource);
  std::string name = journalName(st), journal = folder.pathOf(name);
  if (fd.get() < 0) throw systemFailure(errno, "Cannot open the journal", journal, kSource);
  char text[96] = {};
  size_t n = readAt(fd.get(), text, sizeof text - 1, 0, journal);
  std::string_view head(text, n);
  size_t end = head.find('\n', head.find('\n') + 1);
  unsigned long long device = 0, inode = 0;
  long long size = -1;
  bool parsed =
      head.rfind("kelvane table journal 1\n", 0) == 0 && end != std::string_view::npos &&
      std::sscanf(text + head.find('\n') + 1, "%llu %llu %lld", &device, &inode, &size) == 3;
  off_t start = static_cast<off_t>(end + 1);
  char trailer[8] = {};
  bool complete =
      parsed && size >= 0 &&
      sizeOf(fd.get(), journal, kSource) == start + size + static_cast<off_t>(kTrailer.size()) &&
      readAt(fd.get(), trailer, kTrailer.size(), start + size, journal) == kTrailer.size() &&
      kTrailer == std::string_view(trailer, kTrailer.size());
  if (complete) {
    // Named after this file, yet of another one that had its number before.
    if (st.st_dev != device || st.st_ino != inode)
      throw Failure(
          ESTALE,
          "The journal \"" + journal + "\" holds the old bytes of another file than \"" + named +
              "\", which was replaced since",
          kSource,
          "Check that \"" + named + "\" is the table it should be, then remove the journal");
    writeOver(table, fd.get(), start, size, named);
  }
  removeJournal(folder, name);
}

std::unique_ptr<OutputFile> journaledOutput(Descriptor table, std::string named,
                                            JournalFolder folder) {
  Descriptor spool(::openat(folder.fd.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (spool.get() < 0) throw systemFailure(errno, "Cannot make a file in", folder.path, kSource);
  return std::make_unique<JournaledOutput>(std::move(table), std::move(named), std::move(folder),
                                           std::move(spool));
}

}  // namespace kelvane::posix
