#include "engine/progress/RunFiguresMeter.h"

#include <algorithm>
#include <cmath>

namespace ferrox {

std::optional<TRunFigures> TRunFiguresMeter::Update(TTime now) {
    TRunCounters& c = channel_.Run;
    if (!c.Counting.load()) {
        counting_ = false;
        return std::nullopt;
    }
    if (!counting_) {
        // A new run: its pace starts afresh.
        counting_ = true;
        last_ = lastShown_ = now;
        active_ = window_ = std::chrono::nanoseconds(0);
        windowFiles_ = c.FilesFinished.load();
        windowBytes_ = channel_.BytesPaced.load();
        windowUnwritten_ = unwrittenNow_ = 0;
        pace_ = TTimeLeft{};
        shownLeft_.reset();
    }
    const auto elapsed = std::max(now - last_, TTime::duration(0));
    last_ = now;
    if (c.Active.load()) {
        active_ += elapsed;
        window_ += elapsed;
        if (shownLeft_)
            shownLeft_ =
                std::max(0.0, *shownLeft_ - std::chrono::duration<double>(elapsed).count());
    }
    if (const int64_t dataBytes = channel_.DataBytes.load(); dataBytes > 0)
        pace_.SetPerByteHint(double(channel_.DataNanos.load()) * 1e-9 / double(dataBytes));
    if (window_ >= Window) {
        const long files = c.FilesFinished.load();
        const int64_t bytes = channel_.BytesPaced.load();
        unwrittenNow_ = Unwritten(channel_.BytesMoved.load());
        const int64_t written =
            std::max<int64_t>(0, bytes - windowBytes_ - (unwrittenNow_ - windowUnwritten_));
        pace_.AddWindow(std::chrono::duration<double>(window_).count(),
                        double(files - windowFiles_), double(written));
        windowFiles_ = files;
        windowBytes_ = bytes;
        windowUnwritten_ = unwrittenNow_;
        window_ = std::chrono::nanoseconds(0);
        windowClosed_ = true;
    }
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

int64_t TRunFiguresMeter::Unwritten(int64_t moved) {
    if (!channel_.Run.Flushes.load() || moved <= 0)
        return 0;
    // The system's figure counts other programs' writes too; ours are at most what we moved.
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
    f.ActiveSeconds = std::chrono::duration<double>(active_).count();

    // A new estimate only at the end of a window; between, the shown one counts down.
    if (windowClosed_) {
        windowClosed_ = false;
        if (std::optional<double> estimate =
                pace_.SecondsFor(filesLeft, bytesLeft + double(unwrittenNow_)))
            shownLeft_ = shownLeft_ ? *shownLeft_ + Follow * (*estimate - *shownLeft_) : *estimate;
    }
    if (shownLeft_ && active_ >= ShowTimeLeftAfter)
        f.SecondsLeft = *shownLeft_;

    double share = 0;
    if (f.SecondsLeft && f.ActiveSeconds + *f.SecondsLeft > 0)
        share = f.ActiveSeconds / (f.ActiveSeconds + *f.SecondsLeft);
    else if (f.BytesDone + bytesLeft > 0)
        share = double(f.BytesDone) / (double(f.BytesDone) + bytesLeft);
    else if (f.LinesDone + f.LinesFailed + f.LinesLeft > 0)
        share =
            double(f.LinesDone + f.LinesFailed) / double(f.LinesDone + f.LinesFailed + f.LinesLeft);
    f.Percent = std::clamp(int(std::floor(share * 100)), 0, 100);
    return f;
}

} // namespace ferrox
