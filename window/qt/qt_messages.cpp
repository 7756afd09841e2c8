#include "window/qt/qt_messages.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>

#include "window/frm_main.h"
#include "window/qt/display_probe.h"
#include "window/qt/frm_main_view.h"
#include "window/qt/shown_text.h"

namespace kelvane {
namespace {

QMessageBox::Icon qtIcon(Icon icon) {
  switch (icon) {
    case Icon::Error:
      return QMessageBox::Critical;
    case Icon::Question:
      return QMessageBox::Question;
    case Icon::Information:
      return QMessageBox::Information;
  }
  return QMessageBox::NoIcon;
}

// The window a box or the dialog belongs to: the one the user was in, which gets the
// activation back when the box closes.
QWidget* ownerWindow() { return QApplication::activeWindow(); }

}  // namespace

QtMessages::QtMessages(const char* programName)
    : qtArguments_{programName != nullptr ? programName : "kelvane"} {}

QtMessages::~QtMessages() = default;

bool QtMessages::haveDisplay() {
  if (QApplication::instance() != nullptr) return application_ != nullptr;
  if (probed_) return false;
  probed_ = true;
  std::string plugin = usableQtPlatform();
  if (plugin.empty()) return false;
  // Only the program name and the plugin go to Qt: the user's arguments are a settings path,
  // which Qt must not take for options of its own.
  qtArguments_.resize(1);
  qtArguments_.push_back("-platform");
  qtArguments_.push_back(plugin);
  for (auto& argument : qtArguments_) qtArgv_.push_back(argument.data());
  qtArgv_.push_back(nullptr);
  qtArgc_ = static_cast<int>(qtArguments_.size());
  application_ = std::make_unique<QApplication>(qtArgc_, qtArgv_.data());
  QApplication::setWindowIcon(FrmMainView::windowIconPicture());
  return true;
}

void QtMessages::message(const std::string& title, const std::string& text, Icon icon) {
  if (!haveDisplay()) return console_.message(title, text, icon);
  QMessageBox box(qtIcon(icon), messageText(title), messageText(text), QMessageBox::Ok,
                  ownerWindow());
  box.exec();
}

bool QtMessages::question(const std::string& title, const std::string& text, Icon icon) {
  if (!haveDisplay()) return console_.question(title, text, icon);
  QMessageBox box(qtIcon(icon), messageText(title), messageText(text),
                  QMessageBox::Yes | QMessageBox::No, ownerWindow());
  box.setDefaultButton(QMessageBox::Yes);
  return box.exec() == QMessageBox::Yes;
}

std::string QtMessages::saveDialog(const std::string& title, const std::string& filter,
                                   const std::string& initialFolder) {
  if (!haveDisplay()) return console_.saveDialog(title, filter, initialFolder);
  QFileDialog dialog(ownerWindow(), messageText(title), QFile::decodeName(initialFolder.c_str()),
                     qtFilter(filter));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  // Replacing a file is asked about (the dialog's default), and a name typed without an
  // extension gets the filter's.
  dialog.setDefaultSuffix(QString::fromStdString(filterExtension(filter)));
  dialog.selectFile(QString());
  if (dialog.exec() != QDialog::Accepted) return {};
  QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return {};
  return QFile::encodeName(chosen.first()).toStdString();
}

int QtMessages::runWindow(FrmMain& form) {
  if (!haveDisplay()) return console_.runWindow(form);
  FrmMainView view(form, *this);
  view.showCentred();
  QApplication::exec();
  return 0;
}

}  // namespace kelvane
