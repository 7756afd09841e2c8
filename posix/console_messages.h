#pragma once

#include <string>

#include "platform/messages.h"

namespace kelvane {

// The windowless answers: what a build run, or a start-up without a display, says and is
// told. Messages go to standard error, a question is answered No, a save dialog is
// cancelled, and no window opens.
class ConsoleMessages : public Messages {
 public:
  void warn(const std::string& text) override;
  void message(const std::string& title, const std::string& text, Icon icon) override;
  bool question(const std::string& title, const std::string& text, Icon icon) override;
  std::string saveDialog(const std::string& title, const std::string& filter,
                         const std::string& initialFolder) override;
  int runWindow(FrmMain& form) override;
};

}  // namespace kelvane
