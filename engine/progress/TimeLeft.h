#pragma once
#include <optional>

namespace ferrox {

// How long the rest of a run will take, from its pace so far. Many small files cost per
// file (opening, creating, naming), large ones per byte; so the run's active time is cut
// into windows, each with the files it finished and the bytes it moved, and fitted as
//     seconds = PerFile × files + PerByte × bytes,
// recent windows weighing more. Works the same whether one file or several are in flight:
// the windows are wall-clock time.
class TTimeLeft {
public:
    // A window of active time (pauses left out) in which `files` files were finished and
    // `bytes` bytes moved.
    void AddWindow(double seconds, double files, double bytes);
    // What a byte costs while the data itself moves (the copies' data phases): stands in
    // for the per-byte cost until the windows tell it apart from the per-file cost (a run
    // that has copied only small files so far says nothing about its large ones).
    void SetPerByteHint(double seconds) { perByteHint_ = seconds; }
    // Seconds for so many files and bytes more; none until the pace is known.
    std::optional<double> SecondsFor(double files, double bytes) const;

    // How much a window counts against the one after it (per window of a second or so).
    static constexpr double Keep = 0.9;

private:
    // Weighted sums of the normal equations of the fit.
    double ff_ = 0, fb_ = 0, bb_ = 0, tf_ = 0, tb_ = 0;
    int windows_ = 0;
    double perByteHint_ = 0;
};

} // namespace ferrox
