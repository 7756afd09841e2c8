#include "base/failure.h"

#include <cstring>

namespace kelvane {

Failure systemFailure(int err, const std::string& what, const std::string& path,
                      const std::string& source) {
  return Failure(err, what + " \"" + path + "\": " + std::strerror(err), source);
}

}  // namespace kelvane
