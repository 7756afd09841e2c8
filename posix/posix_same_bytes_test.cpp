// A file that replaces another is compared with it as it is written: nothing is written while
// the two agree, and every byte once they differ.
#include "posix/posix_same_bytes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <vector>

#include "base/failure.h"
#include "tests/support/failure_of.h"
#include "tests/support/temp_folder.h"

namespace kelvane::posix {
namespace {

using testing::TempFolder;

struct Written {
  bool same;
  std::string out;  // what the new file holds
};

// pieces written, in order, over a file holding old (none: no file to compare with);
// between(oldPath) runs after the first piece.
Written writeOver(const std::optional<std::string>& old, const std::vector<std::string>& pieces,
                  const std::function<void(const std::string&)>& between = nullptr) {
  TempFolder dir;
  std::string oldPath = dir / "old", outPath = dir / "new";
  WriteUnlessSame bytes(oldPath, false);
  if (old) {
    testing::writeBytes(oldPath, *old);
    bytes.compareWith(Descriptor(::open(oldPath.c_str(), O_RDONLY | O_CLOEXEC)));
  }
  Descriptor out(::open(outPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  for (size_t i = 0; i < pieces.size(); ++i) {
    bytes.write(out.get(), pieces[i]);
    if (i == 0 && between) between(oldPath);
  }
  bool same = bytes.sameAsOld(out.get());
  return {same, testing::readBytes(outPath)};
}

TEST(WriteUnlessSame, WritesNothingForTheOldBytesAndEveryNewByteOtherwise) {
  // Longer than one piece of the copy of the part that matched.
  const std::string long_(70000, 'x');
  struct Case {
    const char* what;
    std::optional<std::string> old;
    std::vector<std::string> pieces;
  } cases[] = {
      {"the same, in pieces", "abcdef", {"ab", "cd", "ef"}},
      {"both empty", "", {}},
      {"no file there", std::nullopt, {"abc"}},
      {"the first byte differs", "abc", {"xbc"}},
      {"a later piece differs", "abcdef", {"ab", "cX", "ef"}},
      {"the new one is shorter", "abcdef", {"ab", "c"}},
      {"the new one is empty", "abc", {}},
      {"the new one is longer", "abc", {"abc", "d"}},
      {"it differs past a long part that matched", long_ + "tail", {long_, "TAIL"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string whole;
    for (const std::string& piece : c.pieces) whole += piece;
    Written written = writeOver(c.old, c.pieces);
    EXPECT_EQ(written.same, c.old == whole);
    EXPECT_EQ(written.out, written.same ? "" : whole);
  }
}

TEST(WriteUnlessSame, AnOldFileChangedWhereItMatchedFailsAndElsewhereDoesNot) {
  auto overwrite = [](size_t at) {
    return [at](const std::string& path) {
      int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
      ASSERT_EQ(::pwrite(fd, "!", 1, static_cast<off_t>(at)), 1);
      ::close(fd);
    };
  };
  Failure failure = testing::failureOf([&] { writeOver("abcdef", {"abc", "XYZ"}, overwrite(1)); });
  EXPECT_EQ(failure.number(), ESTALE);
  EXPECT_NE(failure.description().find("was changed while the build compared it"),
            std::string::npos);
  // Past the part that matched, the old file's bytes are never taken.
  Written written = writeOver("abcdef", {"abc", "XYZ"}, overwrite(4));
  EXPECT_FALSE(written.same);
  EXPECT_EQ(written.out, "abcXYZ");
}

}  // namespace
}  // namespace kelvane::posix
