#include "queue/CopyQueue.h"

#include "diag/Trace.h"
#include "support/ListHelpers.h"
#include "support/PairHelpers.h"
#include "support/StatusRecorder.h"

#include <gtest/gtest.h>

#include <functional>

using namespace ferrox;
using namespace ferrox::test;

namespace {

struct TQueueTest : ::testing::Test {
    TCopyQueue q;
    TStatusRecorder status{q.StatusLine};
    int saves = 0;
    void SetUp() override {
        TraceRelease();
        TraceCreate();
        q.SetAutosave([this] { ++saves; });
    }
    void TearDown() override { TraceRelease(); }
    void Fill(int sources, int dests) {
        for (int i = 1; i <= sources; ++i)
            q.AddItem(q.lstCopyFrom, "s" + std::to_string(i), false, lsFileWaiting);
        for (int i = 1; i <= dests; ++i)
            q.AddItem(q.lstCopyTo, "d" + std::to_string(i), false, lsDirWaiting);
    }
    PVirtualNode From(int i) { return q.lstCopyFrom.NodeAt(i); }
    void Select(std::initializer_list<int> rows, TLineList* list = nullptr) {
        TLineList& l = list ? *list : q.lstCopyFrom;
        for (int r : rows)
            l.SetSelected(l.NodeAt(r), true);
    }
};

using P = std::vector<std::pair<std::string, std::string>>;

} // namespace

TEST_F(TQueueTest, AddItemKeepsPathsAndMarksAndAllowsDuplicates) {
    std::string odd = std::string("/tmp/a\nb\xff%-x/");
    q.AddItem(q.lstCopyFrom, odd, true, lsDirWaiting);
    q.AddItem(q.lstCopyFrom, odd, false, lsFileWaiting);
    ASSERT_EQ(q.lstCopyFrom.RootNodeCount(), 2u);
    EXPECT_EQ(From(0)->Data.Path, odd);
    EXPECT_NE(From(0), From(1));
    EXPECT_TRUE(TCopyQueue::IsMove(From(0)));
    EXPECT_FALSE(TCopyQueue::IsMove(From(1)));
    EXPECT_EQ(TCopyQueue::StatusOf(From(0)), lsDirWaiting);
    EXPECT_TRUE(TraceEntries().empty());
}

TEST_F(TQueueTest, PairingAfterEachKindOfDeletion) {
    Fill(3, 1);
    EXPECT_EQ(Pairs(q), (P{{"s1", "d1"}, {"s2", ""}, {"s3", ""}}));
    EXPECT_EQ(q.GetToNode(1), nullptr);
    EXPECT_EQ(q.GetToNode(-1), nullptr);
    q.Clear(q.lstCopyTo);
    q.Clear(q.lstCopyFrom);

    // Source line only: later lines move up onto the earlier destinations.
    Fill(3, 3);
    q.DelLines(q.lstCopyFrom, false, From(1));
    EXPECT_EQ(Pairs(q), (P{{"s1", "d1"}, {"s3", "d2"}}));
    EXPECT_EQ(Paths(q.lstCopyTo), (std::vector<std::string>{"d1", "d2", "d3"}));
    q.Clear(q.lstCopyTo);
    q.Clear(q.lstCopyFrom);

    // Full line: the destination at the same position goes too.
    Fill(3, 3);
    q.DelLines(q.lstCopyFrom, true, From(1));
    EXPECT_EQ(Pairs(q), (P{{"s1", "d1"}, {"s3", "d3"}}));
    q.Clear(q.lstCopyTo);
    q.Clear(q.lstCopyFrom);

    // Destination line: every later source line moves to the next destination.
    Fill(3, 3);
    q.DelLines(q.lstCopyTo, false, q.lstCopyTo.NodeAt(0));
    EXPECT_EQ(Pairs(q), (P{{"s1", "d2"}, {"s2", "d3"}, {"s3", ""}}));
    q.Clear(q.lstCopyTo);
    q.Clear(q.lstCopyFrom);

    // Clearing the sources: the old destinations pair with new sources from the top.
    Fill(2, 2);
    q.Clear(q.lstCopyFrom);
    q.AddItem(q.lstCopyFrom, "n1", false, lsFileWaiting);
    EXPECT_EQ(Pairs(q), (P{{"n1", "d1"}}));
    EXPECT_EQ(saves, 0); // the given-line form leaves saving to its caller
}

TEST_F(TQueueTest, DeletingSelectedLinesFollowsShiftingPositions) {
    Fill(5, 5);
    Select({0, 2, 4});
    q.DelLines(q.lstCopyFrom, true, nullptr);
    EXPECT_EQ(Pairs(q), (P{{"s2", "d2"}, {"s4", "d4"}}));
    EXPECT_EQ(q.lstCopyTo.RootNodeCount(), 2u);
    EXPECT_EQ(saves, 1);
    EXPECT_TRUE(TraceEntries().empty());
}

TEST_F(TQueueTest, LinesInProgressAreKeptWithOneMessageEach) {
    Fill(4, 4);
    q.lstCopyFrom.SetStatus(From(1), lsFileCopying);
    q.lstCopyFrom.SetStatus(From(2), lsDirCopying);
    Select({0, 1, 2, 3});
    q.DelLines(q.lstCopyFrom, true, nullptr);
    EXPECT_EQ(Pairs(q), (P{{"s2", "d2"}, {"s3", "d3"}}));
    EXPECT_EQ(status.Count(MsgCannotDeleteRunning), 2u);

    // A destination line whose source is being copied is kept as well.
    q.lstCopyTo.SetStatus(q.lstCopyTo.NodeAt(0), lsDirCopying);
    Select({0, 1}, &q.lstCopyTo);
    status.Clear();
    q.DelLines(q.lstCopyTo, false, nullptr);
    EXPECT_EQ(Paths(q.lstCopyTo), std::vector<std::string>{"d2"});
    EXPECT_EQ(status.Count(MsgCannotDeleteRunning), 1u);
}

TEST_F(TQueueTest, ResetCopyStatusOnEveryStatus) {
    Fill(8, 8);
    for (int s = 0; s < 8; ++s) {
        q.lstCopyFrom.SetStatus(From(s), s);
        q.lstCopyTo.SetStatus(q.lstCopyTo.NodeAt(s), s | 1);
    }
    Select({0, 1, 2, 3, 4, 5, 6, 7});
    q.ResetCopyStatus();
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{0, 1, 0, 1, 4, 5, 0, 1}));
    EXPECT_EQ(Statuses(q.lstCopyTo), (std::vector<int32_t>{1, 1, 1, 1, 5, 5, 1, 1}));
    EXPECT_EQ(status.Texts(), std::vector<std::string>{MsgCannotDeleteRunning}); // line 4 only
    EXPECT_EQ(saves, 1);
    EXPECT_TRUE(TraceEntries().empty());
}

TEST_F(TQueueTest, ClearCompletedOnEveryStatusKeepsPairs) {
    Fill(8, 8);
    for (int s = 0; s < 8; ++s)
        q.lstCopyFrom.SetStatus(From(s), s);
    q.ClearCompleted();
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{0, 1, 4, 5, 6, 7}));
    EXPECT_EQ(
        Pairs(q),
        (P{{"s1", "d1"}, {"s2", "d2"}, {"s5", "d5"}, {"s6", "d6"}, {"s7", "d7"}, {"s8", "d8"}}));
    EXPECT_EQ(saves, 1);

    // Completed lines at the top and in a row.
    q.Clear(q.lstCopyFrom);
    q.Clear(q.lstCopyTo);
    Fill(4, 4);
    for (int i : {0, 1, 3})
        q.lstCopyFrom.SetStatus(From(i), lsFileDone);
    q.ClearCompleted();
    EXPECT_EQ(Pairs(q), (P{{"s3", "d3"}}));
}

TEST_F(TQueueTest, FillDestLinesInAllThreeSituations) {
    Fill(5, 2);
    q.FillDestLines("/dst");
    EXPECT_EQ(Paths(q.lstCopyTo), (std::vector<std::string>{"d1", "d2", "/dst", "/dst", "/dst"}));
    EXPECT_EQ(Statuses(q.lstCopyTo), (std::vector<int32_t>{1, 1, 1, 1, 1}));
    EXPECT_FALSE(TCopyQueue::IsMove(q.lstCopyTo.LastNode()));

    q.Clear(q.lstCopyFrom);
    q.Clear(q.lstCopyTo);
    Fill(2, 5);
    q.FillDestLines("/dst");
    EXPECT_EQ(q.lstCopyTo.RootNodeCount(), 5u);

    q.Clear(q.lstCopyFrom);
    q.FillDestLines("/dst");
    EXPECT_EQ(q.lstCopyTo.RootNodeCount(), 5u);
}

TEST_F(TQueueTest, ChangeNodeStatesMarksEverySelectedLineWhateverItsStatus) {
    Fill(3, 0);
    q.lstCopyFrom.SetStatus(From(0), lsFileDone);
    q.lstCopyFrom.SetStatus(From(2), lsFileFailed);
    Select({0, 2});
    q.ChangeNodeStates(true);
    EXPECT_TRUE(TCopyQueue::IsMove(From(0)));
    EXPECT_FALSE(TCopyQueue::IsMove(From(1)));
    EXPECT_TRUE(TCopyQueue::IsMove(From(2)));
    q.ChangeNodeStates(false);
    EXPECT_FALSE(TCopyQueue::IsMove(From(2)));
}

TEST_F(TQueueTest, ProcEditNodeSetsOrDeletesAndIgnoresMissingPositions) {
    Fill(0, 3);
    q.SetLineStatusOrRemove(q.lstCopyTo, 1, lsDirDone);
    q.SetLineStatusOrRemove(q.lstCopyTo, 0, -1);
    q.SetLineStatusOrRemove(q.lstCopyTo, 7, -1);
    EXPECT_EQ(Paths(q.lstCopyTo), (std::vector<std::string>{"d2", "d3"}));
    EXPECT_EQ(Statuses(q.lstCopyTo), (std::vector<int32_t>{3, 1}));
}

TEST(LineStatus, NamesAndKinds) {
    EXPECT_STREQ(LineStatusName(lsFileWaiting), "lsFileWaiting");
    EXPECT_STREQ(LineStatusName(lsDirFailed), "lsDirFailed");
    EXPECT_STREQ(LineStatusName(8), "");
    EXPECT_TRUE(IsDirStatus(lsDirCopying));
    EXPECT_FALSE(IsDirStatus(lsFileDone));
}

// A pair read ahead (while the line waits for a place) is taken as read only while no line
// was inserted or removed in either list since; otherwise the partner is looked for again.
TEST_F(TQueueTest, PairReadAheadIsTakenOnlyWhileTheLinesStandWhereTheyStood) {
    const struct {
        const char* Change;
        std::function<void()> Make;
        const char* Partner;
        bool Move;
    } cases[] = {
        {"destination removed above",
         [this] { q.DelLines(q.lstCopyTo, false, q.lstCopyTo.NodeAt(0)); }, "d3", false},
        {"destination inserted above", [this] { q.lstCopyTo.InsertNodeFirst("new", lsDirWaiting); },
         "d1", false},
        {"source removed above", [this] { q.DelLines(q.lstCopyFrom, false, From(0)); }, "d1",
         false},
        {"source marked as a Move",
         [this] { q.lstCopyFrom.SetCheckMark(From(1), TCheckState::csCheckedNormal); }, "d2", true},
    };
    for (const auto& c : cases) {
        Fill(3, 3);
        const PVirtualNode line = From(1);
        TCopyQueue::TPair ahead = q.ReadPair(line);
        ASSERT_EQ(ahead.DestPath, "d2");
        c.Make();
        TCopyQueue::TPair pair;
        ASSERT_TRUE(q.TakePair(line, pair, &ahead)) << c.Change;
        EXPECT_EQ(pair.DestPath, c.Partner) << c.Change;
        EXPECT_EQ(pair.Dest, q.lstCopyTo.NodeAt(q.lstCopyFrom.Index(line))) << c.Change;
        EXPECT_EQ(pair.Move, c.Move) << c.Change;
        q.Clear(q.lstCopyTo);
        q.Clear(q.lstCopyFrom);
    }
}
