#include "queue/CopyQueue.h"

#include "diag/Trace.h"
#include "support/StatusRecorder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

using namespace ferrox;

// A worker walks the pairs as a copy run does (statuses, directory expansion inserting
// pairs) while the window's thread deletes, clears and resets lines. Lines in progress
// must never be taken away, and nothing may crash or race (this runs under TSan and ASan).
TEST(QueueStress, RunAgainstCommands) {
    TraceRelease();
    TraceCreate();
    TCopyQueue q;
    test::TStatusRecorder status{q.StatusLine};
    std::atomic<int> saves{0};
    q.SetAutosave([&] { ++saves; });
    for (int i = 0; i < 200; ++i) {
        q.AddItem(q.lstCopyFrom, "src" + std::to_string(i), i % 3 == 0,
                  i % 5 == 0 ? lsDirWaiting : lsFileWaiting);
        q.AddItem(q.lstCopyTo, "dst" + std::to_string(i), false, lsDirWaiting);
    }

    std::atomic<bool> stop{false};
    std::atomic<long> copied{0}, expanded{0};
    std::atomic<int> lostInProgress{0}, failedInserts{0};

    std::thread worker([&] {
        std::mt19937 rng(1);
        while (!stop) {
            PVirtualNode src = q.lstCopyFrom.FirstNode();
            PVirtualNode dst = q.lstCopyTo.FirstNode();
            while (src && dst && !stop) {
                int32_t s = TCopyQueue::StatusOf(src);
                if ((s == lsFileWaiting || s == lsDirWaiting) &&
                    q.lstCopyFrom.CompareExchangeStatus(src, s, s + 4)) {
                    q.lstCopyTo.SetStatus(dst, lsDirCopying);
                    if (s == lsDirWaiting && q.lstCopyFrom.RootNodeCount() < 2000) {
                        PVirtualNode lastSrc = src, lastDst = dst;
                        for (int e = 0; e < 3; ++e) {
                            std::lock_guard pair(q.PairMutex);
                            lastSrc = q.InsertItem(q.lstCopyFrom, e == 1 ? lastSrc : src, false,
                                                   e == 1 ? lsDirWaiting : lsFileWaiting, "entry");
                            lastDst = q.InsertItem(q.lstCopyTo, lastDst, false, lsDirWaiting,
                                                   "dst-entry");
                            if (!lastSrc || !lastDst) {
                                ++failedInserts;
                                break;
                            }
                        }
                        ++expanded;
                    }
                    bool ok = rng() % 4 != 0;
                    if (!q.lstCopyFrom.SetStatus(src, ok ? s + 2 : s + 6))
                        ++lostInProgress;
                    q.lstCopyTo.SetStatus(dst, ok ? lsDirDone : lsDirFailed);
                    q.lstCopyFrom.RepaintNow();
                    ++copied;
                }
                src = q.lstCopyFrom.NextNode(src);
                dst = q.lstCopyTo.NextNode(dst);
            }
        }
    });

    std::mt19937 rng(2);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int rounds = 0;
    while (std::chrono::steady_clock::now() < end) {
        ++rounds;
        uint32_t n = q.lstCopyFrom.RootNodeCount();
        for (int k = 0; k < 5 && n > 0; ++k)
            q.lstCopyFrom.SetSelected(q.lstCopyFrom.NodeAt(rng() % n), true);
        switch (rng() % 6) {
        case 0:
            q.DelLines(q.lstCopyFrom, true, nullptr);
            break;
        case 1:
            q.DelLines(q.lstCopyFrom, false, nullptr);
            break;
        case 2:
            q.ClearCompleted();
            break;
        case 3:
            q.ResetCopyStatus();
            break;
        case 4:
            q.lstCopyTo.SetSelected(q.lstCopyTo.NodeAt(rng() % (n + 1)), true);
            q.DelLines(q.lstCopyTo, false, nullptr);
            break;
        default:
            for (int i = 0; i < 20; ++i)
                q.AddItem(q.lstCopyFrom, "more", false, rng() % 2 ? lsDirWaiting : lsFileWaiting);
            q.FillDestLines("fill");
        }
        q.lstCopyFrom.ClearSelection();
        q.lstCopyTo.ClearSelection();
    }
    stop = true;
    worker.join();

    EXPECT_EQ(lostInProgress.load(), 0);
    EXPECT_EQ(failedInserts.load(), 0);
    EXPECT_GT(copied.load(), 100);
    EXPECT_GT(expanded.load(), 0);
    EXPECT_GT(rounds, 100);
    // Every line the walk can still reach is a valid line of its list.
    uint32_t walked = 0;
    for (PVirtualNode n = q.lstCopyFrom.FirstNode(); n; n = q.lstCopyFrom.NextNode(n))
        ASSERT_EQ(q.lstCopyFrom.Index(n), int32_t(walked++));
    EXPECT_EQ(walked, q.lstCopyFrom.RootNodeCount());
    TraceRelease();
}

// Destination lines filled up while an expansion inserts pairs: the lists must be equal
// after every fill, seen under the pair lock.
TEST(QueueStress, FillDestLinesBesideAnExpansionKeepsTheListsEqual) {
    TCopyQueue q;
    q.AddItem(q.lstCopyFrom, "/src", false, lsDirWaiting);
    q.AddItem(q.lstCopyTo, "/out", false, lsDirWaiting);
    std::atomic<bool> stop{false};
    std::thread expansion([&] {
        PVirtualNode from = q.lstCopyFrom.FirstNode(), to = q.lstCopyTo.FirstNode();
        // An expansion reads its folder between pairs: it lets the other thread in, and
        // a bounded number of pairs keeps a starved main loop from filling the memory.
        for (int pairs = 0; !stop && pairs < 200000; ++pairs) {
            {
                std::lock_guard pair(q.PairMutex);
                q.InsertItem(q.lstCopyFrom, from, false, lsFileWaiting, "/src/e");
                q.InsertItem(q.lstCopyTo, to, false, lsDirWaiting, "/out/src/");
            }
            std::this_thread::yield();
        }
    });
    int unequal = 0;
    for (int i = 0; i < 60000; ++i) {
        q.AddItem(q.lstCopyFrom, "/added", false, lsFileWaiting);
        q.FillDestLines("/dest");
        std::lock_guard pair(q.PairMutex);
        unequal += q.lstCopyFrom.RootNodeCount() != q.lstCopyTo.RootNodeCount();
    }
    stop = true;
    expansion.join();
    EXPECT_EQ(unequal, 0);
}
