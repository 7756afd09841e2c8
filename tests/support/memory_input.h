#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kelvane::testing {

// An input file held in memory that hands out at most chunk bytes per read, so that line
// ends falling across reads are met at every position.
class MemoryInput : public InputFile {
 public:
  MemoryInput(std::string_view bytes, size_t chunk) : bytes_(bytes), chunk_(chunk) {}
  size_t read(char* buffer, size_t size) override {
    size_t n = std::min({size, chunk_, bytes_.size() - at_});
    std::memcpy(buffer, bytes_.data() + at_, n);
    at_ += n;
    return n;
  }

 private:
  std::string bytes_;
  size_t chunk_;
  size_t at_ = 0;
};

}  // namespace kelvane::testing
