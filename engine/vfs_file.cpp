#include "engine/vfs_file.h"

#include <algorithm>

#include "base/failure.h"
#include "base/utf8.h"
#include "settings/number_text.h"

namespace kelvane {

void OldTableReader::fill() {
  buffer_.erase(0, at_);
  scanned_ -= at_;
  at_ = 0;
  chunk_.resize(64 * 1024);
  size_t n = input_->read(chunk_.data(), chunk_.size());
  buffer_.append(chunk_.data(), n);
  ended_ = n == 0;
}

namespace {

// Where to cut text of n bytes so that no UTF-8 sequence is split: before a lead byte whose
// sequence would run past the end, else at n.
size_t sequenceBoundary(const std::string& text, size_t from, size_t n) {
  for (size_t i = n; i > 0 && i + 3 >= n; --i) {
    unsigned char byte = static_cast<unsigned char>(text[from + i - 1]);
    if ((byte & 0xC0) == 0x80) continue;
    if (byte < 0xC0) return n;
    size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
    return i - 1 + length > n ? i - 1 : n;
  }
  return n;
}

// Where the first CR or LF at or after from is, or npos. One pass: the set search of
// std::string calls memchr once for each byte it passes.
size_t lineEndAt(const std::string& text, size_t from) {
  for (size_t i = from; i < text.size(); ++i) {
    char c = text[i];
    if (c <= '\r' && (c == '\r' || c == '\n')) return i;
  }
  return std::string::npos;
}

}  // namespace

bool OldTableReader::nextPiece(std::string& piece) {
  for (;;) {
    size_t end = lineEndAt(buffer_, std::max(at_, scanned_));
    // A CR at the end of what was read may be the first half of a CR LF.
    bool needMore = end == std::string::npos || (buffer_[end] == '\r' && end + 1 == buffer_.size());
    if (needMore && !ended_) {
      size_t pending = (end == std::string::npos ? buffer_.size() : end) - at_;
      if (pending >= kPiece) {
        // A long line goes on in pieces rather than all in memory.
        piece.assign(buffer_, at_, sequenceBoundary(buffer_, at_, kPiece));
        at_ += piece.size();
        lineEnded_ = false;
        allUtf8_ = allUtf8_ && isUtf8(piece);
        return true;
      }
      // What was looked through holds no line end; a lone CR at the end is looked at again.
      scanned_ = end == std::string::npos ? buffer_.size() : end;
      fill();
      continue;
    }
    if (end == std::string::npos) {
      // A line cut into pieces has ended even when its last piece is empty.
      if (at_ == buffer_.size() && lineEnded_) return false;
      piece.assign(buffer_, at_);
      at_ = buffer_.size();
    } else {
      piece.assign(buffer_, at_, end - at_);
      at_ = end + 1;
      if (buffer_[end] == '\r' && at_ < buffer_.size() && buffer_[at_] == '\n') ++at_;
    }
    lineEnded_ = true;
    allUtf8_ = allUtf8_ && isUtf8(piece);
    return true;
  }
}

bool OldTableReader::next(std::string& line) {
  line.clear();
  std::string piece;
  while (nextPiece(piece)) {
    line += piece;
    if (lineEnded_) return true;
  }
  return false;
}

VfsWriter::VfsWriter(Platform& platform, const Settings& settings)
    : VfsWriter(platform.files.createOutput(settings.VFS), settings) {}

VfsWriter::VfsWriter(std::unique_ptr<OutputFile> out, const Settings& settings)
    : out_(std::move(out)),
      rootPhysical_(settings.WhereCreate.substr(
          0, settings.WhereCreate.empty() ? 0 : settings.WhereCreate.size() - 1)),
      virtualRoot_(settings.VirtualR),
      tail_("|" + settings.OwnU + "|" + settings.OwnG + "|" + numberText(settings.CHMOD) +
            "|r|0|0|0|0|0|0|0|0\r\n") {}

void VfsWriter::writeOld(std::string_view piece, bool endsLine) {
  line_.assign(piece);
  if (endsLine) line_.append("\r\n");
  out_->write(line_);
}

void VfsWriter::writeEntry() {
  if (!encoding_) return out_->write(line_);
  std::optional<std::string> bytes = encoding_->bytes(line_);
  // The values and names were checked against the encoding; this is the last guard.
  if (!bytes)
    throw Failure(kErrRefused,
                  "The entry \"" + line_.substr(0, line_.size() - 2) +
                      "\" cannot be written in the VFS table's encoding",
                  "write table");
  out_->write(*bytes);
}

void VfsWriter::writeRootEntry() {
  line_.assign(rootPhysical_).append("|").append(virtualRoot_).append(tail_);
  writeEntry();
}

void VfsWriter::writeMergedEntry(const DirTable& table, size_t row) {
  std::string_view name = table.names(row);
  line_.assign(table.parents(row)).append(name).append("|");
  line_.append(virtualRoot_).append("/").append(table.virtGenre(row)).append(name);
  line_.append(tail_);
  writeEntry();
}

void VfsWriter::commit() { out_->commit(); }

}  // namespace kelvane
