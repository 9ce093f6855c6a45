#include "engine/progress/RunFiguresMeter.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ferrox {

namespace {
double SecondsOf(std::chrono::nanoseconds time) {
    return std::chrono::duration<double>(time).count();
}
} // namespace

void TRunFiguresMeter::StartRun(TTime now) {
    counting_ = true;
    active_ = false;
    last_ = lastShown_ = now;
    activeTime_ = window_ = std::chrono::nanoseconds(0);
    unwrittenNow_ = 0;
    smallestFiles_ = std::numeric_limits<double>::infinity();
    diskRate_ = 0;
    deviceStart_.clear();
    pace_ = TTimeLeft{};
    shownLeft_.reset();
    shownPercent_ = 0;
    windowClosed_ = false;
}

std::optional<TRunFigures> TRunFiguresMeter::Update(TTime now) {
    TRunCounters& c = channel_.Run;
    if (!c.Counting.load()) {
        counting_ = false;
        return std::nullopt;
    }
    if (!counting_)
        StartRun(now);
    // A device's count from the moment the run is first seen writing to it.
    for (dev_t device : channel_.Devices.Seen())
        if (!deviceStart_.count(device))
            if (std::optional<int64_t> written = deviceWritten_(device))
                deviceStart_.emplace(device, *written);
    const auto elapsed = std::max(now - last_, TTime::duration(0));
    last_ = now;
    const bool active = c.Active.load();
    if (active && !active_) {
        // The run starts, or goes on after a pause: a window never spans a pause (what the
        // devices wrote meanwhile is nobody's pace).
        window_ = std::chrono::nanoseconds(0);
        windowFiles_ = c.FilesFinished.load();
        windowBytes_ = channel_.BytesPaced.load();
        windowUnwritten_ = unwrittenNow_ = Unwritten(channel_.BytesMoved.load());
    } else if (active) {
        window_ += elapsed;
    }
    if (active) {
        // The clock goes on from where a pause stopped it.
        activeTime_ += elapsed;
        if (shownLeft_)
            shownLeft_ = std::max(0.0, *shownLeft_ - SecondsOf(elapsed));
    }
    active_ = active;
    if (const int64_t dataBytes = channel_.DataBytes.load(); dataBytes > 0)
        pace_.SetPerByteHint(double(channel_.DataNanos.load()) * 1e-9 / double(dataBytes));
    if (active && window_ >= Window)
        CloseWindow();
    if (now - lastShown_ < ShowEvery && !windowClosed_)
        return std::nullopt;
    lastShown_ = now;
    double bytesLeft =
        double(std::max<int64_t>(0, c.BytesKnown.load() - channel_.BytesMoved.load()));
    double filesLeft = double(std::max<long>(0, c.LinesLeft.load() - c.DirsLeft.load()));
    // The directories still to expand, guessed to hold what the expanded ones held each:
    // for the share done and the time left, not for the figures shown as known.
    const long dirsLeft = c.DirsLeft.load(), dirsExpanded = c.DirsExpanded.load();
    if (dirsLeft > 0 && dirsExpanded > 0) {
        bytesLeft += double(dirsLeft) * double(c.ExpandedBytes.load()) / double(dirsExpanded);
        filesLeft += double(dirsLeft) * double(c.ExpandedFiles.load()) / double(dirsExpanded);
    }
    return Figures(bytesLeft, filesLeft);
}

void TRunFiguresMeter::CloseWindow() {
    TRunCounters& c = channel_.Run;
    const long files = c.FilesFinished.load();
    const int64_t bytes = channel_.BytesPaced.load();
    unwrittenNow_ = Unwritten(channel_.BytesMoved.load());
    // What reached the devices in the window: what the run moved, less what the page
    // cache took on meanwhile (or plus what it gave up).
    const int64_t written =
        std::max<int64_t>(0, bytes - windowBytes_ - (unwrittenNow_ - windowUnwritten_));
    const double seconds = SecondsOf(window_);
    pace_.AddWindow(seconds, double(files - windowFiles_), double(written));
    if (files > windowFiles_)
        smallestFiles_ =
            std::min(smallestFiles_, double(bytes - windowBytes_) / double(files - windowFiles_));
    // A window that began with more unwritten than the devices wrote in it kept them busy
    // all along: what they wrote is what they can write in a second.
    if (written > 0 && windowUnwritten_ >= written) {
        const double rate = double(written) / seconds;
        diskRate_ = diskRate_ > 0 ? 0.5 * (diskRate_ + rate) : rate;
    }
    windowFiles_ = files;
    windowBytes_ = bytes;
    windowUnwritten_ = unwrittenNow_;
    window_ = std::chrono::nanoseconds(0);
    windowClosed_ = true;
}

int64_t TRunFiguresMeter::Unwritten(int64_t moved) {
    if (!channel_.Run.Flushes.load() || moved <= 0)
        return 0;
    const std::vector<dev_t> devices = channel_.Devices.Seen();
    bool counted = !devices.empty();
    int64_t written = 0;
    for (dev_t device : devices) {
        const auto start = deviceStart_.find(device);
        const std::optional<int64_t> now =
            start == deviceStart_.end() ? std::nullopt : deviceWritten_(device);
        if (!now) {
            counted = false;
            break;
        }
        written += *now - start->second;
    }
    // A device's count holds its file systems' own writes (and other programs') too, and
    // the system's figure other programs' unwritten data: ours is at most what we moved.
    if (counted)
        return std::clamp<int64_t>(moved - written, 0, moved);
    return std::clamp<int64_t>(unwritten_().value_or(0), 0, moved);
}

TRunFigures TRunFiguresMeter::Figures(double bytesLeft, double filesLeft) {
    TRunCounters& c = channel_.Run;
    TRunFigures f;
    f.LinesDone = c.LinesDone.load();
    f.LinesFailed = c.LinesFailed.load();
    f.LinesSkipped = c.LinesSkipped.load();
    f.LinesLeft = std::max<long>(0, c.LinesLeft.load());
    f.BytesDone = std::max<int64_t>(0, channel_.BytesMoved.load());
    f.BytesLeft = std::max<int64_t>(0, c.BytesKnown.load() - channel_.BytesMoved.load());
    f.BytesLeftAtLeast = c.DirsLeft.load() > 0;
    f.BytesUnwritten = std::min(unwrittenNow_, f.BytesDone);
    f.ActiveSeconds = SecondsOf(activeTime_);

    // A new estimate only at the end of a window; between, the shown one counts down.
    if (windowClosed_) {
        windowClosed_ = false;
        std::optional<double> estimate;
        // Many files to go, much smaller than any seen so far: what one costs is not known
        // yet (the cost of a large file's opening and naming says nothing about it).
        if (filesLeft <= FilesWithoutPace || bytesLeft / filesLeft >= smallestFiles_ / 8)
            estimate = pace_.SecondsFor(filesLeft, bytesLeft + double(unwrittenNow_));
        // Every byte to go must yet reach the devices, at most as fast as they have been
        // seen to write (whatever the cache made the pace look like so far).
        if (diskRate_ > 0 && (estimate || f.LinesLeft == 0))
            estimate =
                std::max(estimate.value_or(0), (bytesLeft + double(unwrittenNow_)) / diskRate_);
        if (estimate)
            shownLeft_ = shownLeft_ ? *shownLeft_ + Follow * (*estimate - *shownLeft_) : *estimate;
    }
    if (shownLeft_ && activeTime_ >= ShowTimeLeftAfter)
        f.SecondsLeft = *shownLeft_;

    double share = 0;
    if (f.SecondsLeft && f.ActiveSeconds + *f.SecondsLeft > 0)
        share = f.ActiveSeconds / (f.ActiveSeconds + *f.SecondsLeft);
    else if (f.BytesDone + bytesLeft > 0)
        share = double(f.BytesDone - f.BytesUnwritten) / (double(f.BytesDone) + bytesLeft);
    else if (f.LinesDone + f.LinesFailed + f.LinesLeft > 0)
        share =
            double(f.LinesDone + f.LinesFailed) / double(f.LinesDone + f.LinesFailed + f.LinesLeft);
    // Forward only, and never all done before the run has ended: a larger estimate holds
    // the share where it is until the run has caught up with it.
    shownPercent_ = std::max(shownPercent_, std::clamp(int(std::floor(share * 100)), 0, 99));
    f.Percent = shownPercent_;
    return f;
}

} // namespace ferrox
