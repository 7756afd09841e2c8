#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/platform.h"

namespace kelvane {

// Stands in for the output table in a dry run: writes nothing, and counts the lines the new
// table would add to, and drop from, the table there now.
class TableDiff : public OutputFile {
 public:
  // current: the table there now, or null when there is none.
  explicit TableDiff(std::unique_ptr<InputFile> current);

  // Takes whole lines, each ended by CR LF, as the table writer gives them.
  void write(std::string_view bytes) override;
  void commit() override {}

  size_t added() const { return added_; }
  size_t dropped() const;

 private:
  std::unordered_map<std::string, size_t> current_;  // lines not matched yet, and how often
  size_t added_ = 0;
};

}  // namespace kelvane
