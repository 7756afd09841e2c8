#pragma once

#include "platform/files.h"
#include "platform/messages.h"
#include "platform/processes.h"

namespace kelvane {

// What the program asks of the system, by concern, each implemented once per system and
// put together where the program starts (app/). Code that needs one concern only takes
// that one.
struct Platform {
  Files& files;
  Processes& processes;
  Messages& messages;
};

}  // namespace kelvane
