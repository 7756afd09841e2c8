#include "win/win_table_journal.h"

#include <cstdio>
#include <string_view>

#include "base/failure.h"

namespace kelvane::win {
namespace {

const char* const kSource = "journal";
constexpr DWORD kPiece = 64 * 1024;
const std::string_view kTrailer = "\nend\n";

DWORD take(HANDLE h, char* buffer, DWORD size, const std::string& shown) {
  DWORD n = 0;
  if (!::ReadFile(h, buffer, size, &n, nullptr))
    throw lastErrorFailure("Cannot read file", shown, "read");
  return n;
}

LONGLONG sizeOf(HANDLE h, const std::string& shown) {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(h, &size)) throw lastErrorFailure("Cannot look at", shown, kSource);
  return size.QuadPart;
}

void seek(HANDLE h, LONGLONG at) {
  LARGE_INTEGER to{};
  to.QuadPart = at;
  ::SetFilePointerEx(h, to, nullptr, FILE_BEGIN);
}

void copy(HANDLE from, LONGLONG length, HANDLE to, const std::string& shown) {
  char buffer[kPiece];
  while (length > 0) {
    DWORD n = take(from, buffer, static_cast<DWORD>(std::min<LONGLONG>(length, kPiece)), shown);
    if (n == 0) throw Failure(ERROR_HANDLE_EOF, "\"" + shown + "\" ended early", kSource);
    writeAll(to, std::string_view(buffer, n), shown);
    length -= n;
  }
}

std::string header(HANDLE table, const std::string& shown) {
  FileIdentity id = identityOf(infoOf(table, shown, kSource));
  char text[96];
  std::snprintf(text, sizeof text, "kelvane table journal 1\n%llu %llu %lld\n",
                static_cast<unsigned long long>(id.device),
                static_cast<unsigned long long>(id.inode), sizeOf(table, shown));
  return text;
}

}  // namespace

std::wstring journalOf(const std::wstring& target) { return target + L".kelvane-journal"; }

void writeJournal(const std::wstring& journal, HANDLE table, const std::string& shown) {
  ::DeleteFileW(journal.c_str());
  Handle out(::CreateFileW(journal.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!out) throw lastErrorFailure("Cannot make the journal of", shown, kSource);
  writeAll(out.get(), header(table, shown), shown);
  seek(table, 0);
  copy(table, sizeOf(table, shown), out.get(), shown);
  writeAll(out.get(), kTrailer, shown);
  if (!::FlushFileBuffers(out.get())) throw lastErrorFailure("Cannot write file", shown, "flush");
}

bool putBackFromJournal(const std::wstring& journal, const std::wstring& target,
                        const std::string& shown) {
  Handle in(::CreateFileW(journal.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!in) {
    DWORD err = ::GetLastError();
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return false;
    throw errorFailure(err, "Cannot open the journal of", shown, kSource);
  }
  char text[96] = {};
  DWORD n = take(in.get(), text, sizeof text - 1, shown);
  std::string_view head(text, n);
  size_t first = head.find('\n'), end = head.find('\n', first + 1);
  unsigned long long device = 0, inode = 0;
  long long size = -1;
  bool parsed = head.rfind("kelvane table journal 1\n", 0) == 0 && end != std::string_view::npos &&
                std::sscanf(text + first + 1, "%llu %llu %lld", &device, &inode, &size) == 3;
  LONGLONG start = static_cast<LONGLONG>(end + 1);
  char trailer[8] = {};
  bool complete =
      parsed && size >= 0 && sizeOf(in.get(), shown) == start + size + LONGLONG(kTrailer.size());
  if (complete) {
    seek(in.get(), start + size);
    complete = take(in.get(), trailer, DWORD(kTrailer.size()), shown) == kTrailer.size() &&
               kTrailer == std::string_view(trailer, kTrailer.size());
  }
  if (complete) {
    Handle out(::CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!out) throw lastErrorFailure("Cannot write file", shown, "open");
    FileIdentity id = identityOf(infoOf(out.get(), shown, kSource));
    if (id.device != device || id.inode != inode)
      throw Failure(
          ERROR_FILE_INVALID,
          "The journal \"" + narrow(journal) + "\" holds the old bytes of another file than \"" +
              shown + "\", which was replaced since",
          kSource,
          "Check that \"" + shown + "\" is the table it should be, then remove the journal");
    seek(in.get(), start);
    seek(out.get(), 0);
    copy(in.get(), size, out.get(), shown);
    if (!::SetEndOfFile(out.get())) throw lastErrorFailure("Cannot write file", shown, "cut");
    if (!::FlushFileBuffers(out.get())) throw lastErrorFailure("Cannot write file", shown, "flush");
  }
  in = Handle();
  if (!::DeleteFileW(journal.c_str()))
    throw lastErrorFailure("Cannot remove the journal", narrow(journal), kSource);
  return true;
}

}  // namespace kelvane::win
