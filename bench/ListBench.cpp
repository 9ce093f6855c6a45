// Line container cost as a copy run meets it: directory expansion inserts lines after
// moving anchors in both lists, then the run walks the pairs and sets statuses.
// Prints the time per line for two sizes and their ratio (near 1: no quadratic cost).
#include "diag/Trace.h"
#include "queue/CopyQueue.h"

#include <chrono>
#include <cstdio>

using namespace ferrox;

namespace {

double NsPerLine(int lines) {
    TCopyQueue q;
    q.AddItem(q.lstCopyFrom, "/src", false, lsDirWaiting);
    q.AddItem(q.lstCopyTo, "/dst", false, lsDirWaiting);
    auto start = std::chrono::steady_clock::now();

    // Directories of 100 entries: files right after the directory line, subdirectories
    // after the line inserted last, destinations after the last destination.
    PVirtualNode src = q.lstCopyFrom.FirstNode(), dst = q.lstCopyTo.FirstNode();
    int made = 1;
    while (made < lines && src) {
        PVirtualNode lastSrc = src, lastDst = dst;
        for (int e = 0; e < 100 && made < lines; ++e, ++made) {
            std::lock_guard pair(q.PairMutex);
            bool dir = e % 10 == 9;
            lastSrc = q.InsertItem(q.lstCopyFrom, dir ? lastSrc : src, false,
                                   dir ? lsDirWaiting : lsFileWaiting, "/src/entry");
            lastDst = q.InsertItem(q.lstCopyTo, lastDst, false, lsDirWaiting, "/dst/entry/");
        }
        // Next directory line in walk order.
        do {
            src = q.lstCopyFrom.NextNode(src);
            dst = q.lstCopyTo.NextNode(dst);
        } while (src && TCopyQueue::StatusOf(src) != lsDirWaiting);
    }
    // The run: every pair, statuses before and after.
    src = q.lstCopyFrom.FirstNode();
    dst = q.lstCopyTo.FirstNode();
    long pairs = 0;
    for (; src && dst; src = q.lstCopyFrom.NextNode(src), dst = q.lstCopyTo.NextNode(dst)) {
        int32_t s = TCopyQueue::StatusOf(src);
        q.lstCopyFrom.CompareExchangeStatus(src, s, s + 4);
        q.lstCopyTo.SetStatus(dst, lsDirCopying);
        q.lstCopyFrom.SetStatus(src, s + 2);
        q.lstCopyTo.SetStatus(dst, lsDirDone);
        ++pairs;
    }
    double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    if (pairs != lines)
        std::fprintf(stderr, "walked %ld pairs of %d lines\n", pairs, lines);
    return ns / lines;
}

} // namespace

int main() {
    TraceCreate();
    // Warm-up at the larger size, so that neither measurement pays for the process's
    // first touch of its memory.
    NsPerLine(200000);
    double small = NsPerLine(20000);
    double large = NsPerLine(200000);
    std::printf("lines     ns/line\n");
    std::printf("%7d  %9.1f\n", 20000, small);
    std::printf("%7d  %9.1f\n", 200000, large);
    std::printf("ratio 200k/20k per line: %.2f\n", large / small);
    return 0;
}
