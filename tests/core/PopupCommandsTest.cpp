#include "CommandsFixture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>

using namespace ferrox;
using namespace ferrox::test;

namespace {

using TInts = std::vector<int32_t>;
using TPairs = std::vector<std::pair<std::string, std::string>>;

TStrings Tail(const TStrings& entries, size_t n) {
    return TStrings(entries.end() - static_cast<ptrdiff_t>(std::min(n, entries.size())),
                    entries.end());
}

size_t CountOf(const TStrings& entries, const std::string& name) {
    return static_cast<size_t>(std::count(entries.begin(), entries.end(), name));
}

TEST_F(TCommandsTest, DeleteCommandsRemoveTheSelectionWithOrWithoutItsPartnerAndSave) {
    for (const char* s : {"s1", "s2", "s3"})
        From(s);
    for (const char* d : {"d1", "d2", "d3"})
        To(d);
    // Positions shift between the two deletions; each takes its own partner all the same.
    Select(q.lstCopyFrom, {0, 2});
    TStrings trace = TraceDuring([&] { commands.DeleteFullLines(); });
    EXPECT_EQ(Pairs(), (TPairs{{"s2", "d2"}}));
    EXPECT_EQ(Paths(q.lstCopyTo), (TStrings{"d2"}));
    EXPECT_EQ(Saved(), (TSaved{{"F:s2", "d2"}}));
    EXPECT_EQ(trace.front(), "mnupopFromDelFullLineClick");

    From("s3");
    To("d3");
    Select(q.lstCopyFrom, {0});
    trace = TraceDuring([&] { commands.DeleteSourceLines(); });
    EXPECT_EQ(Pairs(), (TPairs{{"s3", "d2"}})) << "the next line moves up onto d2";
    EXPECT_EQ(Paths(q.lstCopyTo), (TStrings{"d2", "d3"}));
    EXPECT_EQ(Saved(), (TSaved{{"F:s3", "d2"}}));
    EXPECT_EQ(trace.front(), "mnupopFromDelFromLineClick");

    Select(q.lstCopyTo, {0});
    trace = TraceDuring([&] { commands.DeleteDestinationLines(); });
    EXPECT_EQ(Pairs(), (TPairs{{"s3", "d3"}}));
    EXPECT_EQ(Saved(), (TSaved{{"F:s3", "d3"}}));
    EXPECT_EQ(trace.front(), "mnupopToDelLineClick");

    EXPECT_EQ(saves, 3);
    EXPECT_EQ(status.Count(MsgCannotDeleteRunning), 0u);
    EXPECT_TRUE(TraceEntries().empty());
}

TEST_F(TCommandsTest, ResetAndClearCompletedKeepEachLineWithItsOwnDestination) {
    const TInts from{lsFileDone, lsFileFailed, lsDirFailed, lsFileWaiting, lsDirDone, lsFileFailed};
    const TInts to{lsDirDone, lsDirFailed, lsDirFailed, lsDirWaiting, lsDirDone, lsDirFailed};
    for (size_t i = 0; i < from.size(); ++i) {
        From("s" + std::to_string(i), from[i]);
        To("d" + std::to_string(i), to[i]);
        // What a failed line's tooltip says under its path.
        if (from[i] == lsFileFailed || from[i] == lsDirFailed)
            for (TLineList* list : {&q.lstCopyFrom, &q.lstCopyTo})
                list->LastNode()->Data.SetNote("Failed 14:02:11: Permission denied");
    }
    Select(q.lstCopyFrom, {1, 2});
    TStrings trace = TraceDuring([&] { commands.ResetCopyStatus(); });
    EXPECT_EQ(Statuses(q.lstCopyFrom), (TInts{2, 0, 1, 0, 3, 6}));
    EXPECT_EQ(Statuses(q.lstCopyTo), (TInts{3, 1, 1, 1, 3, 7}));
    // Waiting again, a line no longer says it failed; one not reset still does.
    for (TLineList* list : {&q.lstCopyFrom, &q.lstCopyTo}) {
        EXPECT_FALSE(list->NodeAt(1)->Data.Note());
        EXPECT_FALSE(list->NodeAt(2)->Data.Note());
        EXPECT_TRUE(list->NodeAt(5)->Data.Note());
    }
    EXPECT_EQ(trace.front(), "mnupopResetCopyStatusClick");
    EXPECT_EQ(CountOf(trace, "mnupopResetCopyStatusClick"), 1u) << "pushed once, not twice";
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(Saved()[1], (TSavedLine{"F:s1", "d1"}));

    trace = TraceDuring([&] { commands.ClearCompleted(); });
    EXPECT_EQ(Pairs(), (TPairs{{"s1", "d1"}, {"s2", "d2"}, {"s3", "d3"}, {"s5", "d5"}}));
    EXPECT_EQ(Statuses(q.lstCopyFrom), (TInts{0, 1, 0, 6}));
    EXPECT_EQ(CountOf(trace, "mnupopFromClearCompletedClick"), 1u);
    EXPECT_EQ(saves, 2);
    EXPECT_EQ(Saved(), (TSaved{{"F:s1", "d1"}, {"D:s2", "d2"}, {"F:s3", "d3"}, {"F:s5", "d5"}}));
    EXPECT_EQ(status.Count(MsgNothingToCheck), 0u);
    EXPECT_TRUE(TraceEntries().empty());
}

TEST_F(TCommandsTest, MoveMarksAreSavedAndClearsEmptyOneListOnly) {
    From("s1");
    From("s2", lsFileDone);
    From("s3", lsDirFailed);
    To("d1");
    To("d2");
    q.Autosave();

    Select(q.lstCopyFrom, {0, 1, 2});
    TStrings trace = TraceDuring([&] { commands.MarkMove(true); });
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(TCopyQueue::IsMove(q.lstCopyFrom.NodeAt(i))) << i;
    EXPECT_EQ(trace.front(), "mnupopFromMoveEnableClick");
    q.lstCopyFrom.ClearSelection();
    Select(q.lstCopyFrom, {1});
    trace = TraceDuring([&] { commands.MarkMove(false); });
    EXPECT_FALSE(TCopyQueue::IsMove(q.lstCopyFrom.NodeAt(1)));
    EXPECT_TRUE(TCopyQueue::IsMove(q.lstCopyFrom.NodeAt(2)));
    EXPECT_EQ(trace.front(), "mnupopFromMoveDisableClick");
    // A box: its own line, selected or not; a destination line has none.
    trace = TraceDuring([&] { commands.MarkLineMove(q.lstCopyFrom.NodeAt(0), false); });
    EXPECT_EQ(Tail(trace, 2), (TStrings{"lstCopyFromChecked", "ChangeNodeStates"}));
    commands.MarkLineMove(q.lstCopyTo.NodeAt(0), true);
    EXPECT_FALSE(TCopyQueue::IsMove(q.lstCopyTo.NodeAt(0)));
    // Saved at once: a mark the user took back must not come back with the next start.
    EXPECT_EQ(saves, 4);
    EXPECT_EQ(Saved(), (TSaved{{"F:s1", "d1"}, {"F:s2", "d2", true}, {"D:s3", "", false, true}}));

    trace = TraceDuring([&] { commands.ClearSources(); });
    EXPECT_EQ(q.lstCopyFrom.RootNodeCount(), 0u);
    EXPECT_EQ(Paths(q.lstCopyTo), (TStrings{"d1", "d2"}));
    EXPECT_EQ(trace.front(), "mnupopFromClearClick");
    EXPECT_EQ(saves, 5);
    EXPECT_TRUE(Saved().empty()) << "an empty queue leaves no file";
    // The old destinations wait for the next sources, from the top.
    commands.AddFiles(TStrings{"n1"});
    EXPECT_EQ(Pairs(), (TPairs{{"n1", "d1"}}));

    trace = TraceDuring([&] { commands.ClearDestinations(); });
    EXPECT_EQ(q.lstCopyTo.RootNodeCount(), 0u);
    EXPECT_EQ(Paths(q.lstCopyFrom), (TStrings{"n1"}));
    EXPECT_EQ(trace.front(), "mnupopToClearClick");
    EXPECT_EQ(Saved(), (TSaved{{"F:n1", ""}}));
    EXPECT_EQ(status.Count(MsgCannotClearRunning), 0u);
    EXPECT_TRUE(TraceEntries().empty());
}

TEST_F(TCommandsTest, ClearCompletedOnAnEmptyListAndOnAFailingSave) {
    commands.ClearCompleted();
    EXPECT_EQ(status.Count(MsgNothingToCheck), 1u);
    EXPECT_EQ(status.TraceAt(MsgNothingToCheck), (TStrings{"mnupopFromClearCompletedClick"}));
    EXPECT_TRUE(TraceEntries().empty()) << "popped on the refusal path";
    EXPECT_EQ(saves, 0);

    run.CopyRunning.store(true); // a run in its last steps: the refusal is silent
    commands.ClearCompleted();
    run.CopyRunning.store(false);
    EXPECT_EQ(status.Count(MsgNothingToCheck), 1u);

    From("done", lsFileDone);
    From("waiting");
    To("d1", lsDirDone);
    To("d2");
    q.SetAutosave([] { throw std::runtime_error("disk full"); });
    const std::string message = "Exception Error: disk full";
    std::atomic<bool> fromAfter{false}, toAfter{false};
    q.lstCopyFrom.OnChanged = [&] { fromAfter = fromAfter || status.Count(message) > 0; };
    q.lstCopyTo.OnChanged = [&] { toAfter = toAfter || status.Count(message) > 0; };
    commands.ClearCompleted();
    EXPECT_EQ(status.Count(message), 1u);
    EXPECT_TRUE(fromAfter && toAfter) << "both lists repainted after the message";
    EXPECT_EQ(Pairs(), (TPairs{{"waiting", "d2"}})) << "what was removed stays removed";
    q.lstCopyFrom.OnChanged = nullptr;
    q.lstCopyTo.OnChanged = nullptr;
}

// A run held open while its directory line is in progress: source line 1 (a folder with
// one file) and its destination show "being copied" and the run waits before the
// folder's first entry until the test lets it go.
struct TRunningCommandsTest : TCommandsTest {
    std::string tree, f2, D0, D1, D2;
    PVirtualNode heldDest;
    std::atomic<bool> fired{false};
    TEvent held;

    void StartHeldRun() {
        tree = MakeDirHere("tree");
        WriteFile(tree + "/t1", "t1");
        f2 = MakeFileHere("f2");
        D0 = MakeDirHere("D0");
        D1 = MakeDirHere("D1");
        D2 = MakeDirHere("D2");
        From(P("done"), lsFileDone);
        From(tree, lsDirWaiting);
        From(f2);
        To(D0, lsDirDone);
        To(D1);
        To(D2);
        q.Autosave();
        heldDest = q.lstCopyTo.NodeAt(1);
        // Called on the run's thread right after it marked the pair in progress.
        q.lstCopyTo.OnChanged = [this] {
            if (TCopyQueue::StatusOf(heldDest) == lsDirCopying && !fired.exchange(true)) {
                run.PauseEvent.Reset();
                held.Set();
            }
        };
        control.StartPauseResume();
        ASSERT_TRUE(held.WaitFor(std::chrono::seconds(30)));
        ASSERT_EQ(TCopyQueue::StatusOf(q.lstCopyFrom.NodeAt(1)), lsDirCopying);
        status.Clear();
    }
    void TearDown() override {
        control.ReleaseWorker();
        // The lists notify once more when they go, after this fixture's own members.
        q.lstCopyTo.OnChanged = nullptr;
        TCommandsTest::TearDown();
    }
    void FinishRun() {
        run.PauseEvent.Set();
        control.CopyWorker()->WaitFor();
        EXPECT_FALSE(run.CopyRunning.load());
    }
};

TEST_F(TRunningCommandsTest, DuringARunClearsRefuseAndDeletesSpareOnlyTheLinesInProgress) {
    StartHeldRun();
    const int savesBefore = saves;
    const std::string fileBefore = ReadFile(dir / "QUEUE.INI");

    commands.ClearSources();
    commands.ClearDestinations();
    EXPECT_EQ(status.Count(MsgCannotClearRunning), 2u);
    // The trace stack is the process's: the waiting run's entries lie below the command's.
    EXPECT_EQ(status.TraceAt(MsgCannotClearRunning).back(), "mnupopFromClearClick");
    EXPECT_EQ(q.lstCopyFrom.RootNodeCount(), 3u);
    EXPECT_EQ(q.lstCopyTo.RootNodeCount(), 3u);
    EXPECT_EQ(saves, savesBefore);
    EXPECT_EQ(ReadFile(dir / "QUEUE.INI"), fileBefore);

    // Refused during a run: no run over the selection, not even a trace entry.
    Select(q.lstCopyFrom, {1, 2});
    commands.CopySelectedLinesNow();
    EXPECT_FALSE(run.CopyThisLineOnly.load());
    EXPECT_EQ(run.Phase.Phase(), TRunPhase::Running);

    // The folder in progress is skipped silently by the reset, refused by the delete.
    commands.ResetCopyStatus();
    EXPECT_EQ(status.Count(MsgCannotDeleteRunning), 0u);
    commands.DeleteFullLines();
    EXPECT_EQ(status.Count(MsgCannotDeleteRunning), 1u);
    EXPECT_EQ(Tail(status.TraceAt(MsgCannotDeleteRunning), 2),
              (TStrings{"mnupopFromDelFullLineClick", "DelLines"}));
    EXPECT_EQ(Pairs(), (TPairs{{P("done"), D0}, {tree, D1}}));
    Select(q.lstCopyTo, {1});
    commands.DeleteDestinationLines();
    EXPECT_EQ(status.Count(MsgCannotDeleteRunning), 2u);
    EXPECT_EQ(Paths(q.lstCopyTo), (TStrings{D0, D1}));
    EXPECT_EQ(Saved(), (TSaved{{"F:" + P("done"), D0, true}, {"D:" + tree, D1}}));

    FinishRun();
    EXPECT_TRUE(Exists(D1 + "/tree/t1"));
    EXPECT_FALSE(Exists(D2 + "/f2")) << "the deleted line was not copied";
    EXPECT_TRUE(TraceEntries().empty());

    commands.ClearSources(); // idle again: allowed
    EXPECT_EQ(q.lstCopyFrom.RootNodeCount(), 0u);
    EXPECT_EQ(status.Count(MsgCannotClearRunning), 2u);
}

TEST_F(TRunningCommandsTest, ClearCompletedAndMoveDuringARunKeepTheRunOnItsPairs) {
    StartHeldRun();
    commands.ClearCompleted();
    EXPECT_EQ(Pairs(), (TPairs{{tree, D1}, {f2, D2}}));
    EXPECT_EQ(Saved(), (TSaved{{"D:" + tree, D1}, {"F:" + f2, D2}}));
    EXPECT_EQ(status.Count(MsgNothingToCheck), 0u);

    // Marks change during a run, and are saved: the waiting line is moved, the folder in
    // progress goes on as it was taken, a copy.
    Select(q.lstCopyFrom, {1});
    commands.MarkMove(true);
    commands.MarkLineMove(q.lstCopyFrom.NodeAt(0), true);
    EXPECT_EQ(Saved(), (TSaved{{"D:" + tree, D1, false, true}, {"F:" + f2, D2, false, true}}));

    FinishRun();
    EXPECT_TRUE(Exists(D1 + "/tree/t1"));
    EXPECT_TRUE(Exists(tree + "/t1")) << "taken as a copy";
    EXPECT_TRUE(Exists(D2 + "/f2"));
    EXPECT_FALSE(Exists(f2)) << "moved, as marked during the run";
    EXPECT_FALSE(Exists(D0 + "/tree"));
    EXPECT_FALSE(Exists(D1 + "/f2"));
    EXPECT_EQ(Statuses(q.lstCopyFrom), (TInts{lsDirDone, lsFileDone, lsFileDone}));
    EXPECT_TRUE(TraceEntries().empty());
}

} // namespace
