#pragma once
#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "diag/StatusLine.h"

namespace ferrox {

// "ERR" + local date (ClockNow) as yyyymmdd + ".LOG", without a directory.
std::string LogFileName();

// Where the log goes from now on: a directory with its trailing '/', or empty for the
// working directory (the default). A face sets it at start-up from the program's places.
void SetLogDirectory(std::string directory);

// Appends the text and CR LF to today's log in the log directory, opening and closing the
// file for the line. Never fails to the caller: false when a write to the log failed (the
// text is then not shown either); a log that cannot be opened is no such failure.
bool AppendToErrorLog(std::string_view text);

// Appends the text to the log, then shows it on the status line as a failure, unless the
// write to the log failed.
void LogError(TStatusLine& status, std::string_view text);

} // namespace ferrox
