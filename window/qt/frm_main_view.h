#pragma once

#include <QIcon>
#include <QWidget>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "platform/messages.h"
#include "platform/processes.h"
#include "settings/settings.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace kelvane {

class FrmMain;

// frmMain's widgets. Each button copies the boxes' texts into the form's state, runs the
// form's handler, and shows the state (caption and boxes) again; the behaviour itself is
// FrmMain's. Widgets carry the control names as object names.
class FrmMainView : public QWidget {
 public:
  // Messages about faults the handlers do not catch themselves go to messages.
  FrmMainView(FrmMain& form, Messages& messages);
  ~FrmMainView() override;

  // The window's own 32 by 32 picture, for the title bar, imgIcon and message boxes.
  static QIcon windowIconPicture();

  // Shows the window centred on its screen, focus in txtWhereCreate.
  void showCentred();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct LineBox {
    QLineEdit* edit;
    std::string SettingsTexts::*text;
  };

  void createControls();
  QLineEdit* addLineBox(const char* name, std::string SettingsTexts::*text, const std::string& hint,
                        const std::string& tooltip, int x, int y, int width);
  QPushButton* addButton(const char* name, const char* caption, int x, int width,
                         void (FrmMain::*handler)());
  void run(void (FrmMain::*handler)());
  // Runs action between taking the boxes and showing the state again, then gives the focus
  // back; the ends of builds seen meanwhile are told after it.
  void act(const std::function<void()>& action);
  // Waits for the build's end handle in the event loop, never blocking it.
  void watch(WatchedProcess& build);
  void tellEndedBuilds();
  // The merge-source box's text exactly as typed, lines ended by "\n".
  QString linesText() const;
  void takeBoxes();
  void showState();

  FrmMain& form_;
  Messages& messages_;
  QGroupBox* fraSetup_ = nullptr;
  std::array<LineBox, 7> lineBoxes_{};
  int lineBoxCount_ = 0;
  QPlainTextEdit* txtLines_ = nullptr;
  QLabel* imgIcon_ = nullptr;
  bool acting_ = false;
  std::vector<WatchedProcess*> ended_;  // builds whose end is not told yet
};

}  // namespace kelvane
