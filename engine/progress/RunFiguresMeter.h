#pragma once
#include <chrono>
#include <functional>
#include <map>
#include <optional>

#include "engine/RunFigures.h"
#include "engine/progress/ProgressChannel.h"
#include "engine/progress/TimeLeft.h"
#include "platform/FileSystem.h"

namespace ferrox {

// Turns a run's counters into the figures a face shows, on the monitor's thread: it keeps
// the active time (pauses left out), cuts it into windows for the pace, and says when the
// figures are due to be shown again.
//
// A run that ends with a flush is paced by what reaches the devices, not by what reaches
// the page cache: a window's bytes are those the devices wrote (the run's bytes less what
// it has moved and they have not written yet), and what they have not written is left to
// do. Small files then cost their per-file time while they are copied and their bytes
// when the disk writes them; large ones (written behind) at the disk's pace. What the
// devices wrote is their own count where they keep one (a disk, a partition), else the
// page cache's count of what it has not written, which holds other programs' writes too.
class TRunFiguresMeter {
public:
    using TTime = std::chrono::system_clock::time_point;
    // What the page cache holds that is not on the devices yet (the system's figure).
    using TUnwritten = std::function<std::optional<int64_t>()>;
    // What a device has written since it was started; none where it keeps no count.
    using TDeviceWritten = std::function<std::optional<int64_t>(dev_t)>;

    explicit TRunFiguresMeter(TProgressChannel& channel, TUnwritten unwritten = UnwrittenCacheBytes,
                              TDeviceWritten deviceWritten = DeviceBytesWritten)
        : channel_(channel), unwritten_(std::move(unwritten)),
          deviceWritten_(std::move(deviceWritten)) {}

    // The figures to show now, at most every ShowEvery while a run is counting; none
    // between, and none when no run is.
    std::optional<TRunFigures> Update(TTime now);

    static constexpr std::chrono::milliseconds ShowEvery{250};
    static constexpr std::chrono::milliseconds Window{1000};
    // The time left is shown only once the run has been copying this long.
    static constexpr std::chrono::seconds ShowTimeLeftAfter{3};
    // How far a new estimate moves the one shown (the rest is the old one counted down).
    // Replayed over recorded runs, 0.3 kept the first estimates' error (when the files seen
    // so far were not yet like the rest) for most of a short run; 0.5 halved that, and
    // still moves the figure shown by less than a second in most seconds.
    static constexpr double Follow = 0.5;
    // So many files left still get an estimate before files like them have been seen (a
    // few large files in flight); more wait until they have.
    static constexpr double FilesWithoutPace = 8;

private:
    void StartRun(TTime now);
    void CloseWindow();
    TRunFigures Figures(double bytesLeft, double filesLeft);
    // Of the bytes the run moved, those the devices have not written yet: none when the
    // run does not flush (it does not wait for them) or that cannot be told.
    int64_t Unwritten(int64_t moved);

    TProgressChannel& channel_;
    TUnwritten unwritten_;
    TDeviceWritten deviceWritten_;
    std::map<dev_t, int64_t> deviceStart_; // each device's count when the run first wrote to it
    bool counting_ = false;
    bool active_ = false;
    TTime last_{};
    TTime lastShown_{};
    std::chrono::nanoseconds activeTime_{0};
    std::chrono::nanoseconds window_{0};
    long windowFiles_ = 0;
    int64_t windowBytes_ = 0;
    int64_t windowUnwritten_ = 0;
    int64_t unwrittenNow_ = 0; // at the last window's end
    // The fewest bytes a file had on average in a window that finished files.
    double smallestFiles_ = 0;
    // What the devices write in a second while they have the run's bytes to write.
    double diskRate_ = 0;
    TTimeLeft pace_;
    std::optional<double> shownLeft_;
    int shownPercent_ = 0;
    bool windowClosed_ = false;
};

} // namespace ferrox
