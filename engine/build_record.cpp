// The record's file: a heading (what it is, its version, the settings and the link root it
// was kept for), the merge sources with the look before each listing and its rows, each
// genre folder with what a look saw of it once the build was done (when it then held just
// the mirror folders that follow) and its mirror folders with what a look saw of them, and
// a checksum of everything before it. Numbers are little-endian; a text is its length (32 bits) and
// its bytes.

#include "engine/build_record.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/failure.h"
#include "base/path_parts.h"
#include "base/short_hash.h"
#include "settings/number_text.h"

namespace kelvane {
namespace {

constexpr char kMagic[8] = {'k', 'e', 'l', 'v', 'r', 'e', 'c', '\n'};
constexpr uint32_t kVersion = 3;
constexpr uint32_t kLongestText = 1 << 16;  // a path or a name; anything longer is damage

// What makes a record unusable, in the words of the line on standard error.
Failure unusable(const std::string& why) { return Failure(EBADMSG, why, "build record"); }

void putNumber(std::string& out, uint64_t value, int bytes) {
  char littleEndian[8];
  for (int i = 0; i < bytes; ++i) littleEndian[i] = static_cast<char>((value >> (8 * i)) & 0xff);
  out.append(littleEndian, static_cast<size_t>(bytes));
}
void putText(std::string& out, std::string_view text) {
  putNumber(out, text.size(), 4);
  out.append(text);
}
void putStamp(std::string& out, uint64_t inode, int64_t changed, int64_t modified) {
  putNumber(out, inode, 8);
  putNumber(out, static_cast<uint64_t>(changed), 8);
  putNumber(out, static_cast<uint64_t>(modified), 8);
}

// Writes through the record's output in pieces, the checksum fed as it goes.
class Writer {
 public:
  explicit Writer(OutputFile& out) : out_(out) {}
  std::string& buffer() { return buffer_; }
  void flushIfFull() {
    if (buffer_.size() >= 64 * 1024) flush();
  }
  void finish() {
    flush();
    putNumber(buffer_, sum_.value(), 8);
    out_.write(buffer_);
    buffer_.clear();
    out_.commit();
  }

 private:
  void flush() {
    sum_.feed(buffer_);
    out_.write(buffer_);
    buffer_.clear();
  }
  OutputFile& out_;
  std::string buffer_;
  WordHash sum_;
};

}  // namespace

// Reads the record in order; the first pass over it only checks it (its shape and its
// checksum), so that the second, which the build uses, cannot find it damaged half-way.
class LastBuildRecord::Reader {
 public:
  explicit Reader(RecordInput& in) : in_(in) {}

  void restart() {
    in_.restart();
    at_ = end_ = hashed_ = 0;
    sum_ = WordHash();
  }
  uint64_t number(int bytes) {
    uint64_t value = 0;
    if (end_ - at_ >= static_cast<size_t>(bytes)) {  // all in the buffer: most of a record
      for (int i = 0; i < bytes; ++i)
        value |= static_cast<uint64_t>(static_cast<unsigned char>(buffer_[at_ + i])) << (8 * i);
      at_ += static_cast<size_t>(bytes);
      return value;
    }
    for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(byte()) << (8 * i);
    return value;
  }
  void text(std::string& out) {
    uint64_t size = number(4);
    if (size > kLongestText) throw unusable("it is damaged");
    out.resize(size);
    for (size_t done = 0; done < size;) {
      if (at_ == end_ && !fill()) throw unusable("it is damaged (cut short)");
      size_t n = std::min<size_t>(size - done, end_ - at_);
      std::memcpy(out.data() + done, buffer_ + at_, n);
      at_ += n;
      done += n;
    }
  }
  void stamp(uint64_t& inode, int64_t& changed, int64_t& modified) {
    inode = number(8);
    changed = static_cast<int64_t>(number(8));
    modified = static_cast<int64_t>(number(8));
  }
  // The checksum of everything read so far, then nothing more: not in this buffer, nor after it.
  void checkEnd() {
    hashRead();
    uint64_t sum = sum_.value();
    if (number(8) != sum || at_ != end_ || fill()) throw unusable("it is damaged");
  }

 private:
  unsigned char byte() {
    if (at_ == end_ && !fill()) throw unusable("it is damaged (cut short)");
    return static_cast<unsigned char>(buffer_[at_++]);
  }
  // What was read of the buffer goes into the checksum in one go.
  void hashRead() {
    sum_.feed(std::string_view(buffer_ + hashed_, at_ - hashed_));
    hashed_ = at_;
  }
  bool fill() {
    hashRead();
    at_ = hashed_ = 0;
    end_ = in_.read(buffer_, sizeof buffer_);
    return end_ > 0;
  }
  RecordInput& in_;
  char buffer_[64 * 1024];
  size_t at_ = 0, end_ = 0, hashed_ = 0;  // read up to at_, in the checksum up to hashed_
  WordHash sum_;
};

uint64_t settingsFingerprint(const Settings& s) {
  uint64_t hash = kHashBasis;
  auto feed = [&](std::string_view text) {
    std::string counted;
    putText(counted, text);
    feedHash(hash, counted);
  };
  for (const std::string* value :
       {&s.WhereCreate, &s.VFS, &s.VFSold, &s.VirtualR, &s.OwnU, &s.OwnG})
    feed(*value);
  feed(numberText(s.CHMOD));
  for (const MergeSource& source : s.sources) {
    feed(source.path);
    feed(source.genre);
  }
  return hash;
}

std::string recordPath(Files& files, const FileIdentity& linkRoot) {
  return files.userStateFolder() + files.separator() + "kelvane" + files.separator() + "record-" +
         std::to_string(linkRoot.device) + "-" + std::to_string(linkRoot.inode);
}

LastBuildRecord::LastBuildRecord(Platform& platform, const FileIdentity& linkRoot,
                                 uint64_t fingerprint, const std::string& shown)
    : platform_(platform), shown_(shown) {
  if (!platform.files.keepsRecords()) return;
  std::string path;
  try {
    path = recordPath(platform.files, linkRoot);
  } catch (const Failure&) {
    return;  // no state folder: no build of this account could have left a record
  }
  try {
    input_ = platform.files.openRecord(path);
    if (!input_) {
      drop("there is none yet");
      return;
    }
    reader_ = std::make_unique<Reader>(*input_);
    for (int pass = 0; pass < 2; ++pass) {
      if (pass == 1) reader_->restart();
      char magic[sizeof kMagic];
      for (char& c : magic) c = static_cast<char>(reader_->number(1));
      if (std::memcmp(magic, kMagic, sizeof kMagic) != 0) throw unusable("it is damaged");
      if (reader_->number(4) != kVersion) throw unusable("another version of kelvane wrote it");
      if (reader_->number(8) != fingerprint) throw unusable("it was kept for other settings");
      if (reader_->number(8) != linkRoot.device || reader_->number(8) != linkRoot.inode)
        throw unusable("it was kept for another link root");
      sourcesLeft_ = static_cast<uint32_t>(reader_->number(4));
      if (pass == 1) {
        used_ = true;
        return;
      }
      // The rest is only checked now, read as the build will read it.
      FolderStamp seen;
      while (sourcesLeft_ > 0) {
        nextSource("", seen);
        std::string name;
        while (nextName(name)) {
        }
      }
      DirTable noRows;
      Layout none(noRows, "");
      readMirrors(none, &mirrorsAhead_);
      reader_->checkEnd();
    }
  } catch (const Failure& failure) {
    drop(failure.description());
  }
}

LastBuildRecord::~LastBuildRecord() = default;

void LastBuildRecord::drop(const std::string& why) {
  platform_.messages.warn("kelvane: the last build's record of \"" + shown_ + "\" is not used (" +
                          why + "): every folder is looked at in full");
  reader_.reset();
  input_.reset();
  sourcesLeft_ = namesLeft_ = 0;
  used_ = false;
  mirrorsAhead_.clear();
  aheadGenres_.clear();
}

std::vector<FoldersAhead> LastBuildRecord::mirrorsAhead(FolderTree& tree, uint64_t device) {
  std::vector<FoldersAhead> ahead;
  for (size_t i = 0; i < mirrorsAhead_.size(); ++i) {
    std::vector<std::string_view> parts = pathParts(mirrorsAhead_[i].relative, "/");
    if (parts.empty()) continue;
    std::string_view last = parts.back();
    std::string holder(mirrorsAhead_[i].relative, 0,
                       static_cast<size_t>(last.data() - mirrorsAhead_[i].relative.data()));
    bool unchanged = false;
    tree.lookAtSubfolders(holder, {last}, [&](size_t, const FolderStamp& seen) {
      unchanged = aheadGenres_[i].shows(seen, device);
    });
    // A genre folder changed since is listed by the walk, and its mirror folders looked at
    // then: its listing may be taken ahead.
    if (!unchanged)
      mirrorsAhead_[i] = {std::move(mirrorsAhead_[i].relative), {}, true};
    else if (mirrorsAhead_[i].names.empty())
      continue;
    ahead.push_back(std::move(mirrorsAhead_[i]));
  }
  mirrorsAhead_.clear();
  aheadGenres_.clear();
  return ahead;
}

bool LastBuildRecord::nextSource(const std::string& path, FolderStamp& seen) {
  if (!reader_) return false;
  std::string name;
  while (nextName(name)) {
  }
  if (sourcesLeft_ == 0) throw unusable("it is damaged");
  --sourcesLeft_;
  std::string recordedPath;
  reader_->text(recordedPath);
  FolderStamp was;
  uint64_t device = reader_->number(8);
  reader_->stamp(was.id.inode, was.changedNs, was.modifiedNs);
  was.id.device = device;
  bool repeatable = reader_->number(1) != 0;
  namesLeft_ = repeatable ? static_cast<uint32_t>(reader_->number(4)) : 0;
  if (!repeatable || recordedPath != path || path.empty()) return false;
  seen = platform_.files.folderStamp(path);
  if (seen.tickNs <= 0 || seen.id != was.id || seen.changedNs != was.changedNs ||
      seen.modifiedNs != was.modifiedNs)
    return false;
  ++sourcesTaken_;
  return true;
}

bool LastBuildRecord::nextName(std::string& name) {
  if (namesLeft_ == 0) return false;
  --namesLeft_;
  reader_->text(name);
  return true;
}

void LastBuildRecord::recallMirrors(Layout& layout) {
  if (!reader_) return;
  readMirrors(layout);
  layout.recalled = true;
  // Read to its end: closed now, so that no file of this build's stays open longer than it
  // needs to.
  reader_.reset();
  input_.reset();
}

void LastBuildRecord::readMirrors(Layout& layout, std::vector<FoldersAhead>* ahead) {
  // Enough to keep a core busy while the build reads its sources and makes its layout, few
  // enough to hold little.
  constexpr size_t kLooksAhead = 1 << 18;
  size_t aheadNames = 0;
  std::string name;
  while (nextName(name)) {
  }
  while (sourcesLeft_ > 0) {
    FolderStamp ignored;
    nextSource("", ignored);
    while (nextName(name)) {
    }
  }
  reader_->number(8);  // the link root's device, which the heading holds already
  uint64_t nodes = reader_->number(4);
  std::string genre;
  for (uint64_t n = 0; n < nodes; ++n) {
    reader_->text(genre);
    Layout::Node* node = layout.findNode(genre);
    // The link root is always listed: only a genre folder may be taken as the record saw it.
    FoldersAhead* into = nullptr;
    if (ahead && !genre.empty()) into = &ahead->emplace_back();
    if (into) into->relative = genre;
    Layout::MirrorStamp folder;
    reader_->stamp(folder.inode, folder.changedNs, folder.modifiedNs);
    if (into) aheadGenres_.push_back(folder);
    uint64_t mirrors = reader_->number(4);
    size_t at = 0, matched = 0;  // both lists are sorted: one pass over each
    for (uint64_t m = 0; m < mirrors; ++m) {
      reader_->text(name);
      Layout::MirrorStamp stamp;
      reader_->stamp(stamp.inode, stamp.changedNs, stamp.modifiedNs);
      if (into && aheadNames < kLooksAhead) {
        into->names.append(name).push_back('\0');
        ++aheadNames;
      }
      if (!node || node->stamps.empty()) continue;
      while (at < node->mirrors.size() && node->mirrors[at] < name) ++at;
      if (at < node->mirrors.size() && node->mirrors[at] == name) {
        node->stamps[at] = stamp;
        ++matched;
      }
    }
    // The folder held the mirror folders the record names: only when those are this build's
    // own, each of them, does its look stand for them.
    if (node && !node->stamps.empty() && node->holdsOnlyMirrors() &&
        mirrors == node->mirrors.size() && matched == mirrors)
      node->recorded = folder;
  }
}

void lookAtLeftFolders(FolderTree& tree, Layout& layout, char separator) {
  constexpr size_t kAtOnce = 4096;  // names looked at per call, to keep the list short
  std::vector<std::string_view> names;
  std::vector<size_t> index;
  layout.forEachNode(separator, [&](Layout::Node& node, const std::string& path) {
    for (size_t i = 0; i < node.stamps.size();) {
      names.clear();
      index.clear();
      for (; i < node.stamps.size() && names.size() < kAtOnce; ++i) {
        // A genre folder of the same name is listed every time: nothing to keep for it.
        if (node.stamps[i].inode != 0 || node.genres.count(node.mirrors[i])) continue;
        names.push_back(node.mirrors[i]);
        index.push_back(i);
      }
      tree.lookAtSubfolders(path, names, [&](size_t k, const FolderStamp& seen) {
        if (settled(seen) && seen.id.device == layout.stampDevice)
          node.stamps[index[k]] = {seen.id.inode, seen.changedNs, seen.modifiedNs};
      });
    }
  });
  // Each genre folder that holds only mirror folders, once they have all been looked at.
  layout.forEachNode(separator, [&](Layout::Node& node, const std::string& path) {
    if (!node.holdsOnlyMirrors() || node.stamps.empty()) return;
    size_t cut = path.rfind(separator);
    std::string_view name =
        cut == std::string::npos ? path : std::string_view(path).substr(cut + 1);
    tree.lookAtSubfolders(cut == std::string::npos ? "" : path.substr(0, cut), {name},
                          [&](size_t, const FolderStamp& seen) {
                            if (settled(seen) && seen.id.device == layout.stampDevice)
                              node.left = {seen.id.inode, seen.changedNs, seen.modifiedNs};
                          });
  });
}

void writeBuildRecord(Platform& platform, const FileIdentity& linkRoot, uint64_t fingerprint,
                      const std::vector<ScannedSource>& sources, const DirTable& table,
                      Layout* layout) {
  if (!platform.files.keepsRecords()) return;
  std::string path;
  try {
    path = recordPath(platform.files, linkRoot);
  } catch (const Failure&) {
    return;  // no state folder to keep it in
  }
  try {
    std::unique_ptr<OutputFile> out = platform.files.createRecord(path);
    if (!out) return;
    Writer w(*out);
    std::string& b = w.buffer();
    b.append(kMagic, sizeof kMagic);
    putNumber(b, kVersion, 4);
    putNumber(b, fingerprint, 8);
    putNumber(b, linkRoot.device, 8);
    putNumber(b, linkRoot.inode, 8);
    putNumber(b, sources.size(), 4);
    for (const ScannedSource& source : sources) {
      putText(b, source.path);
      putNumber(b, source.seen.id.device, 8);
      putStamp(b, source.seen.id.inode, source.seen.changedNs, source.seen.modifiedNs);
      bool repeatable = source.repeatable && settled(source.seen);
      putNumber(b, repeatable, 1);
      if (!repeatable) continue;
      putNumber(b, source.rows, 4);
      for (size_t row = source.firstRow; row < source.firstRow + source.rows; ++row) {
        putText(b, table.names(row));
        w.flushIfFull();
      }
    }
    std::vector<std::pair<const Layout::Node*, std::string>> nodes;
    if (layout)
      layout->forEachNode(platform.files.separator(),
                          [&](Layout::Node& node, const std::string& genre) {
                            if (!node.stamps.empty()) nodes.emplace_back(&node, genre);
                          });
    putNumber(b, layout ? layout->stampDevice : 0, 8);
    putNumber(b, nodes.size(), 4);
    for (const auto& [node, genre] : nodes) {
      putText(b, genre);
      size_t kept = std::count_if(node->stamps.begin(), node->stamps.end(),
                                  [](const Layout::MirrorStamp& s) { return s.inode != 0; });
      // The folder's look stands for its mirror folders only when the record holds them all.
      Layout::MirrorStamp folder = kept == node->stamps.size() ? node->left : Layout::MirrorStamp{};
      putStamp(b, folder.inode, folder.changedNs, folder.modifiedNs);
      putNumber(b, kept, 4);
      for (size_t i = 0; i < node->stamps.size(); ++i) {
        const Layout::MirrorStamp& s = node->stamps[i];
        if (s.inode == 0) continue;
        putText(b, node->mirrors[i]);
        putStamp(b, s.inode, s.changedNs, s.modifiedNs);
        w.flushIfFull();
      }
    }
    w.finish();
  } catch (const Failure& failure) {
    platform.messages.warn(
        "kelvane: the build is done, but its record for the next build could "
        "not be kept (" +
        failure.description() + "): the next one looks at every folder");
  }
}

}  // namespace kelvane
