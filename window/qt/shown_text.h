#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace kelvane {

// Names and paths are bytes. In a caption or a message they are shown as UTF-8, or as
// Latin-1 where they are not valid UTF-8, so that every byte shows. (The boxes' texts are
// the form's, in UTF-8: it reads and writes the file's encoding itself.)
struct ShownText {
  QString text;
  bool latin1 = false;
};

ShownText showBytes(std::string_view bytes);

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
