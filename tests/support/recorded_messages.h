#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/messages.h"

namespace kelvane::testing {

// The person at the screen, played by the test: messages are recorded, questions and the
// save dialog answer as told, and the window closes at once.
class RecordedMessages : public Messages {
 public:
  struct Message {
    std::string title;
    std::string text;
    Icon icon;
    bool question;
  };

  std::vector<bool> answers;             // taken in order by question(); No when none left
  std::vector<std::string> saveChoices;  // taken in order by saveDialog(); "" when none left
  std::vector<Message> shown;            // every message and question, in order
  std::vector<std::string> warnings;     // lines the build wrote on standard error
  std::vector<std::string> saveDialogs;  // "title|filter|folder" of every dialog shown
  // Called while each message, question or save dialog is up, before it is answered (a
  // window test shows a real box there, which takes the activation from the window).
  std::function<void()> whileShown;

  void warn(const std::string& text) override { warnings.push_back(text); }
  void message(const std::string& title, const std::string& text, Icon icon) override;
  bool question(const std::string& title, const std::string& text, Icon icon) override;
  std::string saveDialog(const std::string& title, const std::string& filter,
                         const std::string& initialFolder) override;
  int runWindow(FrmMain&) override { return 0; }
};

}  // namespace kelvane::testing
