#pragma once
#include <cstdint>
#include <string>

#include "engine/RunFigures.h"
#include "listctl/VirtualTree.h"

namespace ferrox {

// Keeps a run's figures as its lines are counted, taken and finished. Used by the worker;
// the monitor reads the counters.
class TRunTally {
public:
    TRunTally(TRunCounters& counters, uint32_t runNumber)
        : c_(counters), runMark_(MarkOf(runNumber)) {}

    // The mark a line counted by run number n carries: never 0 (no run), and the same
    // again only 65,535 runs later.
    static uint16_t MarkOf(uint32_t n) { return static_cast<uint16_t>(1 + (n - 1) % 65535); }

    // The lines the run will take, counted before it starts: every waiting line of the
    // list (or only the selected ones), each file's size looked up.
    void CountAtStart(const TVirtualTree& from, bool selectedOnly);
    // A line an expansion inserted, with its file's size (-1: unknown, or a directory).
    void Added(const PVirtualNode& line, bool isDirectory, int64_t size);
    // A line the run takes: counted now if the start did not see it (the user added it
    // during the run).
    void Taken(const PVirtualNode& line, bool isDirectory);
    // done: copied or skipped; skipped: the target was kept, and no byte was written;
    // interrupted: not done because the abort stopped its copy, which is no failure.
    void FileFinished(bool done, int64_t size, bool skipped = false, bool interrupted = false);
    // complete: false when the expansion was stopped part-way (the line stays waiting).
    void DirectoryFinished(bool expanded, bool complete);

    // The lines that failed, were interrupted by an abort, and were not reached.
    void EndCounts(long& failed, long& interrupted, long& notReached) const;

private:
    void Count(const PVirtualNode& line, bool isDirectory, int64_t size);

    TRunCounters& c_;
    const uint16_t runMark_;
};

} // namespace ferrox
