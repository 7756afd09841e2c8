#include "posix/posix_table_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "base/failure.h"
#include "base/short_hash.h"
#include "posix/posix_files.h"

namespace kelvane::posix {

void (*tableFaultHook)(const char* step) = nullptr;

namespace {

const char* const kSource = "journal";
constexpr size_t kPiece = 64 * 1024;
const std::string_view kTrailer = "\nend\n";

void syncFile(int fd, const std::string& named, const char* step) {
  tableStep(step);
  if (::fsync(fd) != 0) throw systemFailure(errno, "Cannot write file", named, step);
}

void syncFolderOf(const std::string& path) {
  Descriptor folder(::open(parentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0 && ::fsync(folder.get()) != 0 && errno != EINVAL)
    throw systemFailure(errno, "Cannot write file", parentOf(path), "fsync folder");
}

off_t sizeOf(int fd, const std::string& named) {
  struct stat st;
  if (::fstat(fd, &st) != 0) throw systemFailure(errno, "Cannot look at", named, kSource);
  return st.st_size;
}

size_t readAt(int fd, char* buffer, size_t size, off_t at, const std::string& named) {
  for (;;) {
    ssize_t n = ::pread(fd, buffer, size, at);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) throw systemFailure(errno, "Cannot read file", named, "read");
  }
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

void removeJournal(const std::string& journal) {
  tableStep("remove journal");
  if (::unlink(journal.c_str()) != 0 && errno != ENOENT)
    throw systemFailure(errno, "Cannot remove the journal", journal, kSource);
  syncFolderOf(journal);
}

class JournaledOutput : public OutputFile {
 public:
  JournaledOutput(Descriptor table, std::string named, std::string journal, Descriptor spool)
      : table_(std::move(table)),
        named_(std::move(named)),
        journal_(std::move(journal)),
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
    // First the old bytes, whole and synced, where the next build finds them.
    ::unlink(journal_.c_str());
    tableStep("create journal");
    Descriptor journal(
        ::open(journal_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (journal.get() < 0)
      throw systemFailure(errno, "Cannot make the journal of", named_, kSource);
    tableStep("write");
    writeAll(journal.get(), header(st), journal_, "write");
    copyBytes(table_.get(), 0, st.st_size, journal.get(), named_);
    tableStep("write");
    writeAll(journal.get(), kTrailer, journal_, "write");
    syncFile(journal.get(), journal_, "fsync journal");
    syncFolderOf(journal_);
    // Then the new bytes, with the room they need taken first where the system can.
    off_t length = sizeOf(spool_.get(), named_);
    tableStep("allocate");
    if (length > 0 && ::fallocate(table_.get(), FALLOC_FL_KEEP_SIZE, 0, length) != 0 &&
        errno != EOPNOTSUPP) {
      int err = errno;
      removeJournal(journal_);
      throw systemFailure(err, "Cannot write file", named_, "allocate");
    }
    try {
      writeOver(table_.get(), spool_.get(), 0, length, named_);
    } catch (const Failure& failed) {
      putBack(failed);
      throw;
    }
    removeJournal(journal_);
  }

 private:
  void flush() {
    tableStep("spool");
    writeAll(spool_.get(), buffer_, named_, "write");
    buffer_.clear();
  }

  void putBack(const Failure& failed) {
    try {
      putBackFromJournal(journal_, table_.get(), named_);
    } catch (const Failure& again) {
      throw Failure(failed.number(),
                    failed.description() + "; putting its old bytes back failed too (" +
                        again.description() + ")",
                    failed.source(),
                    "The old table is kept in \"" + journal_ +
                        "\": the next build puts it back before anything else");
    }
  }

  Descriptor table_;
  std::string named_, journal_;
  Descriptor spool_;
  std::string buffer_;
};

}  // namespace

bool sameBytes(int a, int b, const std::string& named) {
  off_t size = sizeOf(a, named);
  if (size != sizeOf(b, named)) return false;
  std::string one(kPiece, '\0'), two(kPiece, '\0');
  for (off_t at = 0; at < size;) {
    size_t n = readAt(a, one.data(), kPiece, at, named);
    if (n == 0 || readAt(b, two.data(), n, at, named) != n || one.compare(0, n, two, 0, n) != 0)
      return false;
    at += static_cast<off_t>(n);
  }
  return true;
}

std::string journalPath(const std::string& folder, const std::string& resolved) {
  return folder + "/table-" + shortHash(resolved) + ".journal";
}

bool putBackFromJournal(const std::string& journal, int table, const std::string& named) {
  Descriptor fd(::open(journal.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) return false;
    throw systemFailure(errno, "Cannot open the journal", journal, kSource);
  }
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
      sizeOf(fd.get(), journal) == start + size + static_cast<off_t>(kTrailer.size()) &&
      readAt(fd.get(), trailer, kTrailer.size(), start + size, journal) == kTrailer.size() &&
      kTrailer == std::string_view(trailer, kTrailer.size());
  if (complete) {
    struct stat st;
    if (::fstat(table, &st) != 0) throw systemFailure(errno, "Cannot look at", named, kSource);
    if (st.st_dev != device || st.st_ino != inode)
      throw Failure(
          ESTALE,
          "The journal \"" + journal + "\" holds the old bytes of another file than \"" + named +
              "\", which was replaced since",
          kSource,
          "Check that \"" + named + "\" is the table it should be, then remove the journal");
    writeOver(table, fd.get(), start, size, named);
  }
  removeJournal(journal);
  return true;
}

std::unique_ptr<OutputFile> journaledOutput(Descriptor table, std::string named,
                                            std::string journal) {
  std::string folder = parentOf(journal);
  Descriptor spool(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (spool.get() < 0) throw systemFailure(errno, "Cannot make a file in", folder, kSource);
  return std::make_unique<JournaledOutput>(std::move(table), std::move(named), std::move(journal),
                                           std::move(spool));
}

}  // namespace kelvane::posix
