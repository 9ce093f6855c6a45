#pragma once
#include <chrono>
#include <functional>

namespace ferrox {

using TClock = std::function<std::chrono::system_clock::time_point()>;

// The process's one clock: the daily log's name, when a file's copy began and the transfer
// rate all read it, so a test that sets it moves them together. Wall time unless set.
std::chrono::system_clock::time_point ClockNow();

// Replaces the clock (empty: wall time again). Any thread.
void SetClock(TClock clock);

} // namespace ferrox
