#pragma once

#include <string>

namespace kelvane {

class FrmMain;

enum class Icon { Error, Question, Information };

// What the program says to, and asks of, the person at the screen, and the window it shows.
class Messages {
 public:
  virtual ~Messages() = default;

  // A line on standard error for whoever runs the build, never a window.
  virtual void warn(const std::string& text) = 0;
  // Without a display: message goes to standard error as "title: text", question answers
  // No, the save dialog counts as cancelled.
  virtual void message(const std::string& title, const std::string& text, Icon icon) = 0;
  // Yes/No with Yes the default; true for Yes.
  virtual bool question(const std::string& title, const std::string& text, Icon icon) = 0;
  // Returns the chosen path, or "" when cancelled.
  virtual std::string saveDialog(const std::string& title, const std::string& filter,
                                 const std::string& initialFolder) = 0;
  // Shows the window and runs it until it closes; returns the exit status (2 when no
  // display can be opened).
  virtual int runWindow(FrmMain& form) = 0;
};

}  // namespace kelvane
