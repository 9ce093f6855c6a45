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
// file for the line, then shows the text on the status line as a failure (or as told,
// when a run event tells the same failure). Never fails to the caller; when the write
// fails the status line is left alone.
void LogError(TStatusLine& status, std::string_view text, TStatusKind kind = TStatusKind::Failure);

} // namespace ferrox
