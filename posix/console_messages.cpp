#include "posix/console_messages.h"

#include <iostream>

namespace kelvane {

void ConsoleMessages::warn(const std::string& text) { std::cerr << text << std::endl; }

void ConsoleMessages::message(const std::string& title, const std::string& text, Icon) {
  std::cerr << title << ": " << text << std::endl;
}

bool ConsoleMessages::question(const std::string& title, const std::string& text, Icon icon) {
  message(title, text, icon);
  return false;
}

std::string ConsoleMessages::saveDialog(const std::string&, const std::string&,
                                        const std::string&) {
  return {};
}

int ConsoleMessages::runWindow(FrmMain&) {
  std::cerr << "kelvane: cannot open the settings window: no display "
               "(set DISPLAY, or run a build with kelvane '?settings.dat')"
            << std::endl;
  return 2;
}

}  // namespace kelvane
