#include "EngineFixture.h"

#include "platform/FileSystem.h"

#include <atomic>
#include <set>

using namespace ferrox;
using namespace ferrox::test;

namespace {

// The names found in a directory, sorted.
std::set<std::string> Names(const std::string& dir) {
    std::set<std::string> names;
    EnumerateDirectory(dir, [&](const TDirEntry& e) { return names.insert(e.Name), true; });
    return names;
}

} // namespace

// An expansion stopped part-way (Abort, or the worker asked to end) is not done: the next
// run finishes it, every file arrives, and no entry gets a second line.
TEST_F(TEngineTest, StoppedExpansionIsFinishedByTheNextRunWithoutDuplicates) {
    MakeDir(P("src"));
    MakeDir(P("src/sub"));
    WriteFile(P("src/sub/deep"), "d");
    for (int i = 0; i < 30; ++i)
        WriteFile(P("src/f" + std::to_string(i)), std::to_string(i));
    for (const char* how : {"abort", "terminate"}) {
        SCOPED_TRACE(how);
        q.Clear(q.lstCopyFrom);
        q.Clear(q.lstCopyTo);
        RemoveTree(P("out"));
        AddPair(P("src"), P("out"), true);
        int entries = 0;
        run.Seams.OnRunPoint = [&, how = std::string(how)](TRunPoint point, const std::string&) {
            if (point != TRunPoint::EntryReached || ++entries != 10)
                return;
            if (how == "abort")
                control.Abort(); // "&Abort"
            else
                control.CopyWorker()->Terminate();
        };
        RunToEnd();
        EXPECT_EQ(q.lstCopyFrom.RootNodeCount(), 10u); // the line and 9 entries
        EXPECT_EQ(q.lstCopyFrom.FirstNode()->Data.Status, lsDirWaiting);
        EXPECT_EQ(q.lstCopyTo.FirstNode()->Data.Status, lsDirWaiting);

        run.Seams.OnRunPoint = nullptr;
        RunToEnd();
        std::vector<std::string> paths = Paths(q.lstCopyFrom);
        EXPECT_EQ(paths.size(), 33u); // the line, 30 files, sub and sub/deep
        EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(), paths.size());
        for (int32_t s : Statuses(q.lstCopyFrom))
            EXPECT_TRUE(IsCompletedStatus(s)) << s;
        EXPECT_EQ(q.lstCopyTo.RootNodeCount(), 33u);
        EXPECT_EQ(RunShell("diff -r '" + P("src") + "' '" + P("out/src") + "' >/dev/null"), 0);
    }
    // A directory line reset after its tree was expanded (sub's lines sit inside its
    // block) finds every entry queued already.
    q.lstCopyFrom.SetSelected(q.lstCopyFrom.FirstNode(), true);
    q.ResetCopyStatus();
    q.lstCopyFrom.ClearSelection();
    RunToEnd();
    EXPECT_EQ(q.lstCopyFrom.RootNodeCount(), 33u);
    EXPECT_EQ(q.lstCopyFrom.FirstNode()->Data.Status, lsDirDone);
}

// What is copied is what stands side by side when the run takes the line: a one-sided
// delete while the run waits paused before a line, or while it copies the line before,
// moves every later file to the directory now shown beside it.
TEST_F(TEngineTest, OneSidedDeletesMoveTheRunToThePairingShown) {
    struct TCase {
        const char* name;
        TRunPoint when;
        bool sourceSide;
        int line; // the line deleted (its position when deleted)
        // Where each of f1..f3 must land ("" = not copied).
        std::vector<std::string> expected;
    };
    const std::vector<TCase> cases{
        {"paused, source line f1", TRunPoint::LineReached, true, 0, {"", "out1", "out2"}},
        {"paused, destination out1", TRunPoint::LineReached, false, 0, {"out2", "out3", ""}},
        {"copying f2, source line f1", TRunPoint::LineTaken, true, 0, {"out1", "out2", "out2"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        q.Clear(q.lstCopyFrom);
        q.Clear(q.lstCopyTo);
        for (int i = 1; i <= 3; ++i) {
            std::string n = std::to_string(i);
            RemoveTree(P("out" + n));
            MakeDir(P("out" + n));
            WriteFile(P("f" + n), n);
            AddPair(P("f" + n), P("out" + n));
        }
        TLineList& list = c.sourceSide ? q.lstCopyFrom : q.lstCopyTo;
        auto deleteLine = [&] {
            list.SetSelected(list.NodeAt(c.line), true);
            q.DelLines(list, false, nullptr); // "Delete &Line(s)" / "Delete Line(s)"
        };
        std::atomic<bool> paused{false};
        run.Seams.OnRunPoint = [&](TRunPoint point, const std::string& path) {
            if (point != c.when || paused)
                return;
            if (c.when == TRunPoint::LineReached && path == P("f1")) {
                paused = true;
                control.StartPauseResume(); // "Pause" before f1 is taken
            } else if (c.when == TRunPoint::LineTaken && path == P("f2")) {
                paused = true;
                deleteLine(); // f1 is done; f2 is in progress
            }
        };
        control.StartPauseResume();
        if (c.when == TRunPoint::LineReached) {
            ASSERT_TRUE(events.WaitFor("paused"));
            deleteLine();
            control.StartPauseResume(); // "Resume"
        }
        WaitForRunEnd();
        run.Seams.OnRunPoint = nullptr;
        events.Clear();
        for (int i = 1; i <= 3; ++i) {
            std::string f = "f" + std::to_string(i);
            for (int o = 1; o <= 3; ++o) {
                std::string out = "out" + std::to_string(o);
                EXPECT_EQ(Exists(P(out + "/" + f)), c.expected[size_t(i - 1)] == out)
                    << f << " in " << out;
            }
        }
    }
}

// Whole pairs deleted around the run by another thread (done pairs behind it, waiting
// ones just ahead of it) never shift it: every file lands in its own directory, in both
// modes.
TEST_F(TEngineTest, PairsDeletedAroundTheRunNeverShiftIt) {
    const int n = 200;
    for (int i = 0; i < n; ++i) {
        std::string k = std::to_string(i);
        MakeDir(P("out" + k));
        WriteFile(P("f" + k), k);
    }
    for (bool selectedOnly : {false, true}) {
        SCOPED_TRACE(selectedOnly ? "selected lines" : "all lines");
        q.Clear(q.lstCopyFrom);
        q.Clear(q.lstCopyTo);
        for (int i = 0; i < n; ++i) {
            std::string k = std::to_string(i);
            RemoveTree(P("out" + k));
            MakeDir(P("out" + k));
            AddPair(P("f" + k), P("out" + k));
            if (selectedOnly && i % 2 == 0)
                q.lstCopyFrom.SetSelected(q.lstCopyFrom.LastNode(), true);
        }
        std::atomic<bool> stop{false};
        std::thread deleter([&] {
            int round = 0;
            // Bounded, so that however the threads are scheduled some pairs are left to copy.
            int deletes = 0;
            while (!stop && deletes < n / 4) {
                if (++round % 2 == 0) {
                    q.ClearCompleted();
                    continue;
                }
                // The first waiting line: the one the run is about to take, or the next.
                PVirtualNode line = q.lstCopyFrom.FirstNode();
                while (line && line->Data.Status != lsFileWaiting)
                    line = q.lstCopyFrom.NextNode(line);
                if (line && q.lstCopyFrom.NextNode(line)) {
                    q.DelLines(q.lstCopyFrom, true, q.lstCopyFrom.NextNode(line));
                    ++deletes;
                }
                std::this_thread::yield();
            }
        });
        RunToEnd(selectedOnly);
        stop = true;
        deleter.join();
        int copied = 0;
        for (int o = 0; o < n; ++o)
            for (const std::string& name : Names(P("out" + std::to_string(o)))) {
                EXPECT_EQ(name, "f" + std::to_string(o));
                ++copied;
            }
        EXPECT_GT(copied, 0);
        EXPECT_EQ(q.lstCopyFrom.RootNodeCount(), q.lstCopyTo.RootNodeCount());
    }
}

// Copy NOW clicked the moment the last run ends (as a face does on RunEnded) starts a run
// whose Close button reads "&Abort" throughout; an Abort that landed after the last run
// had ended does not stop it.
TEST_F(TEngineTest, NextRunStartedAsTheLastEndsShowsAbortAndIsNotStoppedByAStaleAbort) {
    MakeDir(P("out"));
    WriteFile(P("a"), "a");
    WriteFile(P("b"), "b");
    AddPair(P("a"), P("out"));
    std::mutex m;
    std::condition_variable cv;
    bool ended = false;
    events.SetOnRunEnded([&] {
        std::lock_guard lock(m);
        ended = true;
        cv.notify_all();
    });
    control.StartPauseResume();
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(60), [&] { return ended; }));
    }
    events.SetOnRunEnded(nullptr);
    run.AbortAsked = true; // an "&Abort" read before the end, stored after it
    AddPair(P("b"), P("out"));
    std::vector<TRunPhase> phases;
    run.Seams.OnRunPoint = [&](TRunPoint point, const std::string&) {
        if (point == TRunPoint::LineTaken)
            phases.push_back(run.Phase.Phase());
    };
    control.StartPauseResume();
    WaitForRunEnd();
    EXPECT_EQ(ReadFile(P("out/b")), "b");
    EXPECT_EQ(phases, (std::vector<TRunPhase>{TRunPhase::Running}));
    // Each change of the phase is told once.
    EXPECT_EQ(events.Phases(),
              (std::vector<std::string>{"Running", "Ending", "Idle", "Running", "Ending", "Idle"}));
}

// A directory line naming a regular file fails with the reason of its own test, not with
// an errno left by the file copied just before it.
TEST_F(TEngineTest, DirectoryLineOnARegularFileSaysNotADirectory) {
    MakeDir(P("out"));
    WriteFile(P("first"), "1");
    WriteFile(P("plain"), "p");
    AddPair(P("first"), P("out"));
    AddPair(P("plain"), P("out"), true);
    RunToEnd();
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{lsFileDone, lsDirFailed}));
    EXPECT_EQ(events.Count("failed " + P("plain") + " " + std::to_string(ENOTDIR)), 1u);
    std::vector<std::string> ev = events.Events();
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(ev[ev.size() - 2], "failed " + P("plain") + " " + std::to_string(ENOTDIR));
}
