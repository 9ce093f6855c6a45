#pragma once
#include <atomic>
#include <cstdint>
#include <optional>

namespace ferrox {

// The whole run as a face shows it: lines and bytes done and left, and the time left.
struct TRunFigures {
    long LinesDone = 0;
    long LinesFailed = 0;
    long LinesSkipped = 0; // of those done: the target was there and was kept
    long LinesLeft = 0;    // waiting or in progress
    int64_t BytesDone = 0;
    int64_t BytesLeft = 0;
    // Directories not expanded yet: their files will add to what is left.
    bool BytesLeftAtLeast = false;
    // Of the bytes done, those the devices have not written yet: the run ends by waiting
    // for them (0 when it does not, or when that cannot be told).
    int64_t BytesUnwritten = 0;
    double ActiveSeconds = 0;          // time spent copying, pauses left out
    std::optional<double> SecondsLeft; // once the pace is known
    // Of the work, 0..99 while the run goes on; it never goes back within a run.
    int Percent = 0;
};

// What the worker counts while a run goes on, for the monitor to show. The lines are those
// the run will take (all waiting lines, or the selected ones); the bytes those of their
// files as far as they are known.
struct TRunCounters {
    std::atomic<long> LinesDone{0};
    std::atomic<long> LinesFailed{0};
    std::atomic<long> LinesSkipped{0};
    // Stopped in the middle of their copy by an abort: told apart from the failures.
    std::atomic<long> LinesInterrupted{0};
    std::atomic<long> LinesLeft{0};
    std::atomic<long> DirsLeft{0};      // directory lines not expanded yet
    std::atomic<long> FilesFinished{0}; // file lines done or failed, for the pace
    std::atomic<int64_t> BytesKnown{0}; // of the files known, less those that failed
    // What the directories expanded so far held: the directories still to expand are
    // guessed to hold as much each.
    std::atomic<long> DirsExpanded{0};
    std::atomic<long> ExpandedFiles{0};
    std::atomic<int64_t> ExpandedBytes{0};
    // Copying now: a run is going and is not waiting at the pause gate.
    std::atomic<bool> Active{false};
    // The run has started counting (its figures mean something).
    std::atomic<bool> Counting{false};
    // The run ends by putting what it wrote on the devices: what the page cache still
    // holds is part of the time left.
    std::atomic<bool> Flushes{false};

    void Reset() {
        LinesDone = 0;
        LinesFailed = 0;
        LinesSkipped = 0;
        LinesInterrupted = 0;
        LinesLeft = 0;
        DirsLeft = 0;
        FilesFinished = 0;
        BytesKnown = 0;
        DirsExpanded = 0;
        ExpandedFiles = 0;
        ExpandedBytes = 0;
        Active = false;
        Counting = false;
        Flushes = false;
    }
};

} // namespace ferrox
