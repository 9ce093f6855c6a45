#pragma once
#include <string>

namespace ferrox {

struct TNumberFormat {
    std::string ThousandSeparator = ",";
    std::string DecimalSeparator = ".";
    // The separators of the user's numeric locale (LC_NUMERIC / LANG); a locale that groups
    // with nothing gets a comma (a point where its decimal separator is the comma).
    static TNumberFormat FromUserLocale();
};

// A number with thousands separators and `decimals` decimals, right-aligned in at least
// `width` characters: "%8.0n" is FormatNumber(v, 8, 0, fmt).
std::string FormatNumber(double value, int width, int decimals, const TNumberFormat& fmt);

} // namespace ferrox
