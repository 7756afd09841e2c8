#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace kelvane {

// Text from files and paths is bytes. It is shown as UTF-8, or as Latin-1 where it is not
// valid UTF-8, and turned back into bytes the same way, so that text shown and saved again
// is the same bytes.
struct ShownText {
  QString text;
  bool latin1 = false;
};

ShownText showBytes(std::string_view bytes);
// The bytes for text shown with showBytes; text that Latin-1 cannot hold (typed by the user)
// is written as UTF-8.
std::string bytesOf(const QString& text, bool latin1);

// Multi-line text as Qt shows it: the file's CR LF line ends become "\n".
QString withQtLineEnds(const QString& text);
QString withFileLineEnds(const QString& text);

// A message's title or text for a message box.
QString messageText(const std::string& bytes);

// A filter of "description|pattern" pairs, all separated by "|", in Qt's form:
// "description (pattern)" entries separated by ";;". A description that already names its
// pattern in brackets is kept as it is.
QString qtFilter(const std::string& filter);

}  // namespace kelvane
