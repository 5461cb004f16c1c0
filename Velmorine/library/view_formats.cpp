#include "Velmorine/library/view_formats.h"

#include <QDateTime>
#include <QTimeZone>

#include "Velmorine/shell/language_code.h"
#include "Velmorine/shell/text_lookup.h"

namespace velmorine::library {

namespace {

QDateTime localTime(const store::Date& date) {
  const double unix =
      date.timeIntervalSinceReferenceDate + store::Date::kReferenceDateInUnixSeconds;
  return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(unix * 1000.0)).toLocalTime();
}

}  // namespace

QLocale viewLocale(std::string_view language) {
  static const std::vector<std::string> preferred =
      shell::systemPreferredLanguages(shell::processEnvironment());
  const std::string_view code = shell::resolvedLanguageCode(language, preferred);
  return QLocale(QString::fromLatin1(code.data(), static_cast<qsizetype>(code.size())));
}

QString byteCountText(std::uint64_t count, std::string_view language) {
  return QString::fromStdString(shell::formattedByteCount(count, language));
}

QString dateText(const store::Date& date, std::string_view language) {
  return viewLocale(language).toString(localTime(date).date(), QLocale::ShortFormat);
}

QString dateTimeText(const store::Date& date, std::string_view language) {
  const QDateTime time = localTime(date);
  const QLocale locale = viewLocale(language);
  return locale.toString(time.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
         locale.toString(time.time(), QLocale::ShortFormat);
}

}  // namespace velmorine::library
