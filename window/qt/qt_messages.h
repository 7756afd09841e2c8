#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/messages.h"
#include "posix/console_messages.h"

class QApplication;

namespace kelvane {

// Qt message boxes, the save dialog and the window when a display can be opened, and the
// windowless answers otherwise.
// Qt is started only when something is to be shown, on the plugin that was found to work, so
// that a build run or a start-up without a display never makes Qt abort or wait for anyone.
class QtMessages : public Messages {
 public:
  explicit QtMessages(const char* programName);
  ~QtMessages() override;
  QtMessages(const QtMessages&) = delete;
  QtMessages& operator=(const QtMessages&) = delete;

  void warn(const std::string& text) override { console_.warn(text); }

  void message(const std::string& title, const std::string& text, Icon icon) override;
  bool question(const std::string& title, const std::string& text, Icon icon) override;
  std::string saveDialog(const std::string& title, const std::string& filter,
                         const std::string& initialFolder) override;
  int runWindow(FrmMain& form) override;

 private:
  // Starts Qt the first time it is needed; false when there is no display to show things on.
  bool haveDisplay();

  ConsoleMessages console_;
  bool probed_ = false;
  std::unique_ptr<QApplication> application_;
  // QApplication keeps references to its argument count and strings.
  std::vector<std::string> qtArguments_;
  std::vector<char*> qtArgv_;
  int qtArgc_ = 0;
};

}  // namespace kelvane
