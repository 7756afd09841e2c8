#include "build/build_run.h"

#include "platform/failure.h"

namespace kelvane {

void runBuild(Platform&, AppState& state) {
  state.runStep = {"Checking the folder to create structure in", ""};
  throw Failure(kErrRefused, "The build engine is not part of this version yet", "build run");
}

}  // namespace kelvane
