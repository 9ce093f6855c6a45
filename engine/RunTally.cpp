#include "engine/RunTally.h"

#include "platform/FileSystem.h"
#include "queue/LineStatus.h"

namespace ferrox {

void TRunTally::Count(const PVirtualNode& line, bool isDirectory, int64_t size) {
    line->Data.RunMark.store(runMark_, std::memory_order_relaxed);
    c_.LinesLeft.fetch_add(1, std::memory_order_relaxed);
    if (isDirectory)
        c_.DirsLeft.fetch_add(1, std::memory_order_relaxed);
    else if (size > 0)
        c_.BytesKnown.fetch_add(size, std::memory_order_relaxed);
}

void TRunTally::CountAtStart(const TVirtualTree& from, bool selectedOnly) {
    PVirtualNode n = selectedOnly ? from.FirstSelectedNode() : from.FirstNode();
    for (; n; n = selectedOnly ? from.NextSelectedNode(n) : from.NextNode(n)) {
        const int32_t status = n->Data.Status.load();
        if (status != lsFileWaiting && status != lsDirWaiting)
            continue;
        const bool isDirectory = status == lsDirWaiting;
        int64_t size = -1;
        if (!isDirectory) {
            const TFileIdentity id = GetFileIdentity(n->Data.Path);
            size = id.Valid ? id.Size : -1;
        }
        Count(n, isDirectory, size);
    }
    c_.Counting.store(true);
}

void TRunTally::Added(const PVirtualNode& line, bool isDirectory, int64_t size) {
    Count(line, isDirectory, size);
    if (!isDirectory) {
        c_.ExpandedFiles.fetch_add(1, std::memory_order_relaxed);
        c_.ExpandedBytes.fetch_add(size > 0 ? size : 0, std::memory_order_relaxed);
    }
}

void TRunTally::Taken(const PVirtualNode& line, bool isDirectory) {
    if (line->Data.RunMark.load(std::memory_order_relaxed) == runMark_)
        return;
    int64_t size = -1;
    if (!isDirectory) {
        const TFileIdentity id = GetFileIdentity(line->Data.Path);
        size = id.Valid ? id.Size : -1;
    }
    Count(line, isDirectory, size);
}

void TRunTally::FileFinished(bool done, int64_t size, bool skipped, bool interrupted) {
    c_.LinesLeft.fetch_sub(1, std::memory_order_relaxed);
    (done          ? c_.LinesDone
     : interrupted ? c_.LinesInterrupted
                   : c_.LinesFailed)
        .fetch_add(1, std::memory_order_relaxed);
    c_.FilesFinished.fetch_add(1, std::memory_order_relaxed);
    if (skipped)
        c_.LinesSkipped.fetch_add(1, std::memory_order_relaxed);
    // A failed or skipped file will not be copied: it is no longer part of what is left.
    if ((!done || skipped) && size > 0)
        c_.BytesKnown.fetch_sub(size, std::memory_order_relaxed);
}

void TRunTally::DirectoryFinished(bool expanded, bool complete) {
    if (expanded && !complete)
        return; // still waiting, and still to be expanded by a later run
    c_.LinesLeft.fetch_sub(1, std::memory_order_relaxed);
    c_.DirsLeft.fetch_sub(1, std::memory_order_relaxed);
    (expanded ? c_.LinesDone : c_.LinesFailed).fetch_add(1, std::memory_order_relaxed);
    if (expanded)
        c_.DirsExpanded.fetch_add(1, std::memory_order_relaxed);
}

void TRunTally::EndCounts(long& failed, long& interrupted, long& notReached) const {
    failed = c_.LinesFailed.load();
    interrupted = c_.LinesInterrupted.load();
    notReached = c_.LinesLeft.load();
}

} // namespace ferrox
