#include "tests/support/recorded_messages.h"

namespace kelvane::testing {

void RecordedMessages::message(const std::string& title, const std::string& text, Icon icon) {
  shown.push_back({title, text, icon, false});
  if (whileShown) whileShown();
}
bool RecordedMessages::question(const std::string& title, const std::string& text, Icon icon) {
  shown.push_back({title, text, icon, true});
  if (whileShown) whileShown();
  if (answers.empty()) return false;
  bool answer = answers.front();
  answers.erase(answers.begin());
  return answer;
}
std::string RecordedMessages::saveDialog(const std::string& title, const std::string& filter,
                                         const std::string& initialFolder) {
  saveDialogs.push_back(title + "|" + filter + "|" + initialFolder);
  if (whileShown) whileShown();
  if (saveChoices.empty()) return {};
  std::string choice = saveChoices.front();
  saveChoices.erase(saveChoices.begin());
  return choice;
}
}  // namespace kelvane::testing
