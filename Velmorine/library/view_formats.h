#pragma once

// Numbers and dates as the transfer and library views write them, in the locale of the
// language preference.

#include <QLocale>
#include <QString>
#include <cstdint>
#include <string_view>

#include "Velmorine/store/store_date.h"

namespace velmorine::library {

QLocale viewLocale(std::string_view language);
QString byteCountText(std::uint64_t count, std::string_view language);
// The date alone, in the short style.
QString dateText(const store::Date& date, std::string_view language);
// Abbreviated date and short time.
QString dateTimeText(const store::Date& date, std::string_view language);

}  // namespace velmorine::library
