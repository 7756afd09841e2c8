#include "window/qt/frm_main_view.h"

#include <QEvent>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QTextDocument>
#include <exception>
#include <limits>

#include "platform/messages.h"
#include "window/frm_main.h"
#include "window/qt/shown_text.h"

// Resources of a static library are registered by hand, once; the name is the .qrc file's.
static void registerKelvaneResources() {
  static const bool registered = [] {
    Q_INIT_RESOURCE(kelvane);
    return true;
  }();
  (void)registered;
}

namespace kelvane {
namespace {

constexpr int kClientWidth = 347;
constexpr int kClientHeight = 433;

}  // namespace

QIcon FrmMainView::windowIconPicture() {
  registerKelvaneResources();
  return QIcon(QStringLiteral(":/kelvane/kelvane.png"));
}

FrmMainView::FrmMainView(FrmMain& form, Messages& messages) : form_(form), messages_(messages) {
  setObjectName(QStringLiteral("frmMain"));
  setFixedSize(kClientWidth, kClientHeight);
  setWindowIcon(windowIconPicture());
  createControls();
  showState();
  form_.watchBuild = [this](WatchedProcess& build) { watch(build); };
}

FrmMainView::~FrmMainView() { form_.watchBuild = nullptr; }

void FrmMainView::createControls() {
  fraSetup_ = new QGroupBox(QStringLiteral("Setup"), this);
  fraSetup_->setObjectName(QStringLiteral("fraSetup"));
  fraSetup_->setGeometry(8, 8, 329, 417);

  // Each box's hint is shown while it is empty, never held as its text.
  const SettingsTexts hint = initialBoxTexts();
  auto* where = addLineBox("txtWhereCreate", &SettingsTexts::WhereCreate, hint.WhereCreate,
                           kWhereCreateTip, 8, 16, 313);
  addLineBox("txtVFS", &SettingsTexts::VFS, hint.VFS, hint.VFS, 8, 40, 313);
  addLineBox("txtVFSold", &SettingsTexts::VFSold, hint.VFSold, hint.VFSold, 8, 64, 313);
  addLineBox("txtVirtualR", &SettingsTexts::VirtualR, hint.VirtualR, hint.VirtualR, 8, 88, 313);
  addLineBox("txtOwnU", &SettingsTexts::OwnU, hint.OwnU, hint.OwnU, 120, 112, 65);
  addLineBox("txtOwnG", &SettingsTexts::OwnG, hint.OwnG, hint.OwnG, 192, 112, 73);
  auto* chmod = addLineBox("txtCHMOD", &SettingsTexts::CHMOD, hint.CHMOD, hint.CHMOD, 272, 112, 49);

  // A one-pixel line from (16, 136) to (304, 136), both ends included.
  auto* line = new QFrame(fraSetup_);
  line->setObjectName(QStringLiteral("Line1"));
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Plain);
  line->setLineWidth(1);
  line->setGeometry(16, 136, 304 - 16 + 1, 1);

  txtLines_ = new QPlainTextEdit(fraSetup_);
  txtLines_->setObjectName(QStringLiteral("txtLines"));
  txtLines_->setToolTip(messageText(linesTip('/')));
  txtLines_->setPlaceholderText(withQtLineEnds(QString::fromStdString(mergeHelpText('/'))));
  txtLines_->setGeometry(8, 144, 313, 233);
  txtLines_->setLineWrapMode(QPlainTextEdit::NoWrap);
  txtLines_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  txtLines_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  txtLines_->setTabChangesFocus(true);

  imgIcon_ = new QLabel(fraSetup_);
  imgIcon_->setObjectName(QStringLiteral("imgIcon"));
  imgIcon_->setGeometry(5, 377, 32, 32);
  imgIcon_->setPixmap(windowIconPicture().pixmap(32, 32));
  imgIcon_->installEventFilter(this);

  auto* save = addButton("cmdSave", "&Save Settings", 40, 89, &FrmMain::cmdSave_Click);
  auto* saveAs = addButton("cmdSaveAs", "&as", 128, 33, &FrmMain::cmdSaveAs_Click);
  auto* build = addButton("cmdBuild", "&Build VFS now!", 160, 97, &FrmMain::cmdBuild_Click);
  auto* close = addButton("cmdClose", "&Close", 256, 65, &FrmMain::cmdClose_Click);
  // Each button overlaps its left neighbour by a pixel; made later, the right one is on top.

  // The boxes in order, then the buttons, with "as" last although it sits second.
  QWidget::setTabOrder(chmod, txtLines_);
  QWidget::setTabOrder(txtLines_, save);
  QWidget::setTabOrder(save, build);
  QWidget::setTabOrder(build, close);
  QWidget::setTabOrder(close, saveAs);
  QWidget::setTabOrder(saveAs, where);
  where->setFocus();
}

QLineEdit* FrmMainView::addLineBox(const char* name, std::string SettingsTexts::*text,
                                   const std::string& hint, const std::string& tooltip, int x,
                                   int y, int width) {
  auto* edit = new QLineEdit(fraSetup_);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setToolTip(messageText(tooltip));
  edit->setPlaceholderText(QString::fromStdString(hint));
  edit->setGeometry(x, y, width, kBoxHeight);
  // A value from a file is shown whole, however long.
  edit->setMaxLength(std::numeric_limits<int>::max());
  if (lineBoxCount_ > 0) QWidget::setTabOrder(lineBoxes_[lineBoxCount_ - 1].edit, edit);
  lineBoxes_[lineBoxCount_++] = {edit, text};
  return edit;
}

QPushButton* FrmMainView::addButton(const char* name, const char* caption, int x, int width,
                                    void (FrmMain::*handler)()) {
  auto* button = new QPushButton(QString::fromLatin1(caption), fraSetup_);
  button->setObjectName(QString::fromLatin1(name));
  button->setGeometry(x, kButtonY, width, kButtonHeight);
  // Enter in a box must not press anything.
  button->setAutoDefault(false);
  button->setDefault(false);
  connect(button, &QPushButton::clicked, this, [this, handler] { run(handler); });
  return button;
}

void FrmMainView::showCentred() {
  QRect area = screen()->availableGeometry();
  move(area.center() - QPoint(width() / 2, height() / 2));
  show();
}

bool FrmMainView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == imgIcon_ && event->type() == QEvent::MouseButtonRelease)
    run(&FrmMain::imgIcon_Click);
  return QWidget::eventFilter(watched, event);
}

void FrmMainView::run(void (FrmMain::*handler)()) {
  act([&form = form_, handler] { (form.*handler)(); });
}

void FrmMainView::act(const std::function<void()>& action) {
  // The control the user was in (the button itself when it was clicked), even while a box
  // of the handler's is the active window.
  QPointer<QWidget> had = focusWidget();
  takeBoxes();
  acting_ = true;
  try {
    action();
  } catch (const std::exception& e) {
    // Nothing a handler meets may take the window down with it.
    messages_.message("Error", std::string("An error has occured: ") + e.what(), Icon::Error);
  }
  acting_ = false;
  showState();
  if (form_.closeRequested()) {
    close();
    return;
  }
  // The handler's message boxes and dialog are gone: typing goes on where it was.
  if (isVisible()) {
    activateWindow();
    if (had) had->setFocus(Qt::ActiveWindowFocusReason);
  }
  tellEndedBuilds();
}

void FrmMainView::watch(WatchedProcess& build) {
  auto* ended =
      new QSocketNotifier(static_cast<qintptr>(build.endHandle()), QSocketNotifier::Read, this);
  connect(ended, &QSocketNotifier::activated, this, [this, ended, &build] {
    ended->setEnabled(false);  // before buildEnded closes the handle
    ended->deleteLater();
    ended_.push_back(&build);
    // A build that ends while a message or the dialog is up is told once it is answered.
    if (!acting_) tellEndedBuilds();
  });
}

void FrmMainView::tellEndedBuilds() {
  std::vector<WatchedProcess*> ended;
  ended.swap(ended_);
  for (WatchedProcess* build : ended) act([&form = form_, build] { form.buildEnded(*build); });
}

QString FrmMainView::linesText() const {
  // toPlainText() turns non-breaking spaces into blanks; the raw text keeps every character
  // and marks line breaks as paragraph separators.
  QString text = txtLines_->document()->toRawText();
  text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
  text.replace(QChar::LineSeparator, QLatin1Char('\n'));
  return text;
}

// The form holds the boxes' texts in UTF-8; it encodes them for the file itself.
void FrmMainView::takeBoxes() {
  SettingsTexts& boxes = form_.state().boxes;
  for (const LineBox& box : lineBoxes_) boxes.*box.text = box.edit->text().toStdString();
  boxes.Lines = withFileLineEnds(linesText()).toStdString();
}

void FrmMainView::showState() {
  const AppState& state = form_.state();
  // "[*]" in a Qt title marks unsaved changes; doubled, it is shown as written.
  QString caption = showBytes(state.caption).text;
  setWindowTitle(caption.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]")));
  for (LineBox& box : lineBoxes_) {
    QString shown = QString::fromStdString(state.boxes.*box.text);
    if (box.edit->text() == shown) continue;
    box.edit->setText(shown);
    box.edit->setCursorPosition(0);  // a long value shows its beginning
  }
  QString text = withQtLineEnds(QString::fromStdString(state.boxes.Lines));
  if (linesText() != text) txtLines_->setPlainText(text);
}

}  // namespace kelvane
