#pragma once

#include <string>

#include "platform/messages.h"

namespace kelvane {

// Windows message boxes, the save dialog and the settings window.
class WinMessages : public Messages {
 public:
  void warn(const std::string& text) override;
  // Without an interactive desktop (a service, a scheduled task run without a logged-on
  // user) these behave as without a display: standard error, No, cancelled.
  void message(const std::string& title, const std::string& text, Icon icon) override;
  bool question(const std::string& title, const std::string& text, Icon icon) override;
  std::string saveDialog(const std::string& title, const std::string& filter,
                         const std::string& initialFolder) override;
  int runWindow(FrmMain& form) override;
};

// True when this process can show windows to a person.
bool hasInteractiveDesktop();

}  // namespace kelvane
