#include "window/qt/shown_text.h"

#include <QStringConverter>
#include <QStringList>

namespace kelvane {

ShownText showBytes(std::string_view bytes) {
  QByteArrayView view(bytes.data(), static_cast<qsizetype>(bytes.size()));
  // A byte order mark is text like any other here: dropping it would change the file.
  QStringDecoder utf8(QStringDecoder::Utf8,
                      QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
  QString text = utf8.decode(view);
  if (!utf8.hasError()) return {text, false};
  return {QString::fromLatin1(view), true};
}

QString withQtLineEnds(const QString& text) {
  QString out = text;
  return out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

QString withFileLineEnds(const QString& text) {
  QString out = text;
  return out.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
}

QString messageText(const std::string& bytes) { return withQtLineEnds(showBytes(bytes).text); }

QString qtFilter(const std::string& filter) {
  QStringList parts = showBytes(filter).text.split(QLatin1Char('|'));
  QStringList entries;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString& description = parts[i];
    const QString pattern = parts[i + 1];
    QString named = QLatin1Char('(') + pattern + QLatin1Char(')');
    entries << (description.contains(named) ? description : description + QLatin1Char(' ') + named);
  }
  if (parts.size() % 2 == 1 && !parts.last().isEmpty()) entries << parts.last();
  return entries.join(QStringLiteral(";;"));
}

}  // namespace kelvane
