#include "core/RunFiguresText.h"

#include <cmath>

namespace ferrox {

namespace {
const char* const Dash = " \u2014 ";

std::string Count(long n, const TNumberFormat& format) {
    return FormatNumber(double(n), 0, 0, format);
}
} // namespace

std::string FormatTimeLeft(double seconds) {
    if (!(seconds >= 0))
        seconds = 0;
    if (seconds < 60)
        return std::to_string(std::lround(seconds)) + " s";
    const long minutes = std::lround(seconds / 60);
    if (minutes < 60)
        return std::to_string(minutes) + " min";
    const long hours = minutes / 60;
    return std::to_string(hours) + " h " + std::to_string(minutes % 60) + " min";
}

std::string FormatBytes(int64_t bytes, const TNumberFormat& format) {
    static const char* const Units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    double value = double(bytes < 0 ? 0 : bytes);
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(Units)) {
        value /= 1024;
        ++unit;
    }
    const int decimals = unit == 0 || value >= 100 ? 0 : 1;
    return FormatNumber(value, 0, decimals, format) + " " + Units[unit];
}

std::string RunTitle(const TRunFigures& f) {
    std::string title = std::to_string(f.Percent) + " %";
    if (f.SecondsLeft)
        title += Dash + FormatTimeLeft(*f.SecondsLeft) + " left";
    return title + Dash + "Ferrox";
}

std::string RunDetails(const TRunFigures& f, const TNumberFormat& format) {
    std::string text = "Lines: " + Count(f.LinesDone, format) + " done";
    if (f.LinesSkipped > 0)
        text += " (" + Count(f.LinesSkipped, format) + " skipped, target exists)";
    if (f.LinesFailed > 0)
        text += ", " + Count(f.LinesFailed, format) + " failed";
    text += ", " + Count(f.LinesLeft, format) + " left\n";
    text += "Bytes: " + FormatBytes(f.BytesDone, format) + " done, " +
            (f.BytesLeftAtLeast ? "at least " : "") + FormatBytes(f.BytesLeft, format) + " left";
    if (f.BytesUnwritten > 0)
        text += "\nNot on the disk yet: " + FormatBytes(f.BytesUnwritten, format);
    return text;
}

std::string RunLiveLine(const TRunFigures& f, const TNumberFormat& format) {
    const long finished = f.LinesDone + f.LinesFailed;
    std::string line = std::to_string(f.Percent) + " %, ";
    if (f.LinesLeft == 0 && f.BytesUnwritten > 0)
        line += "writing " + FormatBytes(f.BytesUnwritten, format) + " to disk";
    else
        line += "line " + Count(finished + (f.LinesLeft > 0 ? 1 : 0), format) + " of " +
                Count(finished + f.LinesLeft, format) + ", " + FormatBytes(f.BytesDone, format) +
                " of " + (f.BytesLeftAtLeast ? "at least " : "") +
                FormatBytes(f.BytesDone + f.BytesLeft, format);
    if (f.SecondsLeft)
        line += ", about " + FormatTimeLeft(*f.SecondsLeft) + " left";
    return line;
}

std::string RateText(const TTransferRate& rate, const TNumberFormat& format) {
    if (rate.Seconds <= 0)
        return {};
    const double perMinute = double(rate.Bytes) / double(rate.Seconds) * 60.0 / 1024.0;
    return FormatNumber(perMinute, 8, 2, format) + " K/per min";
}

std::string SpeedText(int64_t bytesPerSecond, const TNumberFormat& format) {
    // A cap is chosen in whole units (40M): shown so, without a decimal.
    static const char* const Units[] = {"B", "KiB", "MiB", "GiB"};
    size_t unit = 0;
    while (unit + 1 < std::size(Units) && bytesPerSecond > 0 &&
           bytesPerSecond % (int64_t(1) << (10 * (unit + 1))) == 0)
        ++unit;
    if (unit + 1 < std::size(Units) && bytesPerSecond >= (int64_t(1) << (10 * (unit + 1))))
        return FormatBytes(bytesPerSecond, format) + "/s";
    return FormatNumber(double(bytesPerSecond >> (10 * unit)), 0, 0, format) + " " + Units[unit] +
           "/s";
}

std::string RateWithLimitText(const std::string& rateText, int64_t limit,
                              const TNumberFormat& format) {
    if (limit <= 0)
        return rateText;
    const std::string cap = "at most " + SpeedText(limit, format);
    return rateText.empty() ? cap : rateText + " (" + cap + ")";
}

std::string ByteCountText(int64_t done, int64_t size, const TNumberFormat& format) {
    return FormatNumber(double(done), 8, 0, format) + " / " +
           FormatNumber(double(size), 8, 0, format);
}

} // namespace ferrox
