#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "platform/platform.h"

namespace kelvane {

// Stands in for the output table in a dry run: writes nothing, and counts the lines the new
// table would add to, and drop from, the table there now, as multisets. Lines are known by
// a 64-bit hash, so that neither table is held in memory, whatever the length of its lines.
class TableDiff : public OutputFile {
 public:
  // current: the table there now, or null when there is none.
  explicit TableDiff(std::unique_ptr<InputFile> current);

  // Takes the new table's bytes in any pieces; its lines end in CR LF.
  void write(std::string_view bytes) override;
  void commit() override {}

  size_t added() const { return added_; }
  size_t dropped() const;

 private:
  std::unordered_map<uint64_t, size_t> current_;  // lines not matched yet, and how often
  uint64_t line_;                                 // the hash of the new line so far
  size_t added_ = 0;
};

}  // namespace kelvane
