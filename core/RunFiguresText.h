#pragma once
#include <cstdint>
#include <string>

#include "engine/RunFigures.h"
#include "engine/progress/ProgressMonitor.h"
#include "platform/NumberFormat.h"

namespace ferrox {

// The words both faces use for a run's figures, so the window and ferrox-run say the same.

// "45 s", "2 min", "1 h 5 min" (rounded as a reader expects of an estimate).
std::string FormatTimeLeft(double seconds);
// "512 B", "3.4 KiB", "120 MiB", "1.2 GiB".
std::string FormatBytes(int64_t bytes, const TNumberFormat& format);

// "34 % — 2 min left — Ferrox" (without the time before it is known).
std::string RunTitle(const TRunFigures& figures);
// Lines and bytes done and left, on two lines, and a third for what the disk has yet to
// write of them.
std::string RunDetails(const TRunFigures& figures, const TNumberFormat& format);
// "34 %, line 124 of 1,003, 1.2 GiB of 4.6 GiB, about 2 min left"; once every line is
// done, "99 %, writing 120 MiB to disk, about 4 s left".
std::string RunLiveLine(const TRunFigures& figures, const TNumberFormat& format);

// The rate panel's words: the KiB a copy moved per minute, "30,720.00 K/per min".
std::string RateText(const TTransferRate& rate, const TNumberFormat& format);
// The caps the window offers (bytes a second), beside "No limit".
inline constexpr int64_t SpeedLimitSteps[] = {int64_t(1) << 20,  int64_t(5) << 20,
                                              int64_t(10) << 20, int64_t(20) << 20,
                                              int64_t(50) << 20, int64_t(100) << 20};
// A cap as the faces show it: "40 MiB/s".
std::string SpeedText(int64_t bytesPerSecond, const TNumberFormat& format);
// The rate panel's words with the cap in force after them: "30,720.00 K/per min (at most
// 1 MiB/s)"; the rate's words alone without a cap.
std::string RateWithLimitText(const std::string& rateText, int64_t limit,
                              const TNumberFormat& format);

// The gauge's text without its bar: a file's bytes done and its size, "   1,536 /    3,072".
std::string ByteCountText(int64_t done, int64_t size, const TNumberFormat& format);

} // namespace ferrox
