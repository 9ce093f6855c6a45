#include "platform/NumberFormat.h"

#include <cstdio>
#include <langinfo.h>
#include <locale.h>

namespace ferrox {

TNumberFormat TNumberFormat::FromUserLocale() {
    TNumberFormat fmt;
    locale_t loc = ::newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
    if (!loc)
        return fmt;
    const char* thousands = ::nl_langinfo_l(THOUSEP, loc);
    const char* radix = ::nl_langinfo_l(RADIXCHAR, loc);
    if (radix && *radix)
        fmt.DecimalSeparator = radix;
    // A locale without a separator (C, POSIX) still gets groups, which long numbers need to
    // be read at a glance: a comma, or a point where the comma is the decimal separator.
    if (thousands && *thousands)
        fmt.ThousandSeparator = thousands;
    else
        fmt.ThousandSeparator = fmt.DecimalSeparator == "," ? "." : ",";
    ::freelocale(loc);
    return fmt;
}

std::string FormatNumber(double value, int width, int decimals, const TNumberFormat& fmt) {
    char digits[512];
    std::snprintf(digits, sizeof digits, "%.*f", decimals, value);
    std::string text = digits;
    bool negative = !text.empty() && text[0] == '-';
    if (negative)
        text.erase(0, 1);
    size_t point = text.find('.');
    std::string whole = text.substr(0, point);
    std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    std::string grouped;
    for (size_t i = 0; i < whole.size(); ++i) {
        if (i > 0 && (whole.size() - i) % 3 == 0)
            grouped += fmt.ThousandSeparator;
        grouped += whole[i];
    }
    std::string out = (negative ? "-" : "") + grouped;
    if (decimals > 0)
        out += fmt.DecimalSeparator + fraction;
    if (static_cast<int>(out.size()) < width)
        out.insert(0, static_cast<size_t>(width) - out.size(), ' ');
    return out;
}

} // namespace ferrox
