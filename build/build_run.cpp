#include "build/build_run.h"

#include "platform/failure.h"
#include "startup/app_state.h"

namespace kelvane {

// Stands in until the build engine lands: a build request ends in the error report, so the
// window's Build button and the report can be used and tested end to end meanwhile.
void runBuild(Platform&, AppState& state) {
  state.runStep = {"Building the VFS table", "This version of Kelvane cannot build yet"};
  throw Failure(kErrRefused, "The build engine is not part of this version yet", "build run");
}

}  // namespace kelvane
