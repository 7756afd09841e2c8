#include "base/failure.h"

#include <cstring>
#include <new>

namespace kelvane {

void Failure::takeStep(const RunStep& step) {
  if (!action_.empty()) return;
  action_ = step.action;
  if (fix_.empty()) fix_ = step.fix;
}

Failure systemFailure(int err, const std::string& what, const std::string& path,
                      const std::string& source) {
  return Failure(err, what + " \"" + path + "\": " + std::strerror(err), source);
}

Failure failureFrom(const std::exception& error) {
  if (dynamic_cast<const std::bad_alloc*>(&error))
    return Failure(kErrOutOfMemory, "Out of memory", "memory");
  return Failure(kErrInternal, std::string("Internal error: ") + error.what(), "kelvane");
}

void rethrowInStep(const RunStep& step) {
  try {
    throw;
  } catch (Failure& failure) {
    failure.takeStep(step);
    throw;
  } catch (const std::exception& error) {
    Failure failure = failureFrom(error);
    failure.takeStep(step);
    throw failure;
  }
}

}  // namespace kelvane
