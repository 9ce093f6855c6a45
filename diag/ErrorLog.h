#pragma once
#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace ferrox {

// "ERR" + local date (ClockNow) as yyyymmdd + ".LOG", without a directory.
std::string LogFileName();

// Appends the text and CR LF to today's log in the working directory, opening and closing
// the file for the line, then shows the text on the status line. Never fails to the caller;
// when the write fails the status line is left alone.
void LogError(std::string_view text);

} // namespace ferrox
