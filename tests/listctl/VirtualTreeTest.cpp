#include "listctl/VirtualTree.h"
#include "support/ListHelpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

using namespace ferrox;
using namespace ferrox::test;

namespace {} // namespace

TEST(VirtualTree, EmptyListGivesNullsAndZeroCounts) {
    TVirtualTree list;
    EXPECT_EQ(list.FirstNode(), nullptr);
    EXPECT_EQ(list.LastNode(), nullptr);
    EXPECT_EQ(list.FirstSelectedNode(), nullptr);
    EXPECT_EQ(list.NodeAt(0), nullptr);
    EXPECT_EQ(list.RootNodeCount(), 0u);
    EXPECT_EQ(list.RootNodeCount(), 0u);
    EXPECT_EQ(list.NextNode(nullptr), nullptr);
}

TEST(VirtualTree, InsertAfterNullOrLastAppendsAndRemovalRenumbers) {
    TVirtualTree list;
    PVirtualNode a = list.AppendNode("a");
    PVirtualNode c = list.InsertNodeAfter(nullptr, "c");
    list.InsertNodeAfter(a, "b");
    list.InsertNodeAfter(list.LastNode(), "d");
    EXPECT_EQ(Paths(list), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(list.Index(c), 2);

    PVirtualNode b = list.NodeAt(1);
    EXPECT_EQ(list.RemoveNode(b), 1);
    EXPECT_EQ(list.Index(c), 1); // the successor takes the removed line's position
    EXPECT_EQ(list.Index(b), -1);
    EXPECT_EQ(list.RemoveNode(b), -1);
    EXPECT_EQ(list.RootNodeCount(), 3u);
}

TEST(VirtualTree, RemovedHandleWalksOnAndIsNeverWrittenOrInsertedAfter) {
    TVirtualTree list;
    PVirtualNode a = list.AppendNode("a");
    PVirtualNode b = list.AppendNode("b", 1);
    PVirtualNode c = list.AppendNode("c");
    PVirtualNode d = list.AppendNode("d");

    list.RemoveNode(b);
    EXPECT_EQ(list.NextNode(b), c);
    list.RemoveNode(c); // the successor goes later too: the walk skips it
    EXPECT_EQ(list.NextNode(b), d);
    EXPECT_EQ(list.NextNode(a), d);

    EXPECT_FALSE(list.SetStatus(b, 7));
    EXPECT_EQ(b->Data.Status.load(), 1);
    EXPECT_FALSE(list.CompareExchangeStatus(b, 1, 5));
    // A line inserted after a removed one takes its place, before its first live successor.
    PVirtualNode x = list.InsertNodeAfter(b, "x");
    EXPECT_EQ(Paths(list), (std::vector<std::string>{"a", "x", "d"}));
    list.RemoveNode(x);
    list.RemoveNode(d);
    list.InsertNodeAfter(d, "end"); // nothing follows: it goes to the end
    EXPECT_EQ(Paths(list), (std::vector<std::string>{"a", "end"}));
    list.RemoveNode(list.LastNode());

    list.RemoveAllNodes();
    EXPECT_EQ(list.NextNode(b), nullptr);
    EXPECT_EQ(list.NextNode(a), nullptr);
    EXPECT_TRUE(a->Removed());
}

TEST(VirtualTree, RemoveUnlessChecksTheStatusInTheSameStep) {
    TVirtualTree list;
    PVirtualNode busy = list.AppendNode("busy", 4);
    PVirtualNode idle = list.AppendNode("idle", 0);
    auto inProgress = [](int32_t s) { return s == 4 || s == 5; };
    EXPECT_EQ(list.RemoveNodeUnless(busy, inProgress), -2);
    EXPECT_EQ(list.RemoveNodeUnless(idle, inProgress), 1);
    EXPECT_EQ(list.RemoveNodeUnless(idle, inProgress), -1);
    EXPECT_EQ(Paths(list), std::vector<std::string>{"busy"});
}

TEST(VirtualTree, SelectionInListOrderAndRemovedLinesLeaveIt) {
    TVirtualTree list;
    std::vector<PVirtualNode> n;
    for (int i = 0; i < 5; ++i)
        n.push_back(list.AppendNode(std::to_string(i)));
    list.SetSelected(n[3], true);
    list.SetSelected(n[1], true);
    list.SetSelected(n[4], true);
    EXPECT_EQ(list.FirstSelectedNode(), n[1]);
    EXPECT_EQ(list.NextSelectedNode(n[1]), n[3]);
    list.RemoveNode(n[3]);
    EXPECT_FALSE(n[3]->Selected());
    EXPECT_EQ(list.NextSelectedNode(n[1]), n[4]);
    EXPECT_EQ(list.NextSelectedNode(n[3]), n[4]); // from a removed line too
    list.ClearSelection();
    EXPECT_EQ(list.FirstSelectedNode(), nullptr);
}

TEST(VirtualTree, NewLinesHaveTheBoxOfTheirList) {
    TVirtualTree list(TCheckType::CheckKindTwoState), plain;
    PVirtualNode n = list.AppendNode("x"), m = plain.AppendNode("y");
    EXPECT_EQ(n->CheckKind.load(), TCheckType::CheckKindTwoState);
    EXPECT_EQ(m->CheckKind.load(), TCheckType::CheckKindNone);
    list.SetCheckMark(n, TCheckState::csCheckedNormal);
    EXPECT_EQ(n->CheckMark.load(), TCheckState::csCheckedNormal);
}

TEST(VirtualTree, BatchHoldsNotificationsUntilTheOutermostEnd) {
    TVirtualTree list;
    int changed = 0;
    list.OnChanged = [&] { ++changed; };
    list.BeginBatch();
    list.BeginBatch();
    list.AppendNode("a");
    list.AppendNode("b");
    list.EndBatch();
    EXPECT_EQ(changed, 0);
    list.EndBatch();
    EXPECT_EQ(changed, 1);
}

// Random inserts and removals against a plain vector: positions, order and the journal
// replayed by a view must all agree with it.
TEST(VirtualTree, PositionsAndJournalMatchAModelUnderRandomChanges) {
    TVirtualTree list;
    list.EnableJournal(true);
    std::vector<PVirtualNode> model;
    std::vector<PVirtualNode> view; // what a view replaying the journal shows
    std::mt19937 rng(12345);
    int made = 0;
    PVirtualNode asked;
    int64_t askedAt = 0;
    for (int step = 0; step < 20000; ++step) {
        int op = rng() % 10;
        if (op < 6 || model.empty()) {
            size_t after = model.empty() ? 0 : rng() % (model.size() + 1);
            std::string name = std::to_string(made++);
            if (after == 0 && !model.empty() && rng() % 2) {
                model.push_back(list.InsertNodeAfter(nullptr, name)); // append
            } else if (after == 0) {
                model.push_back(list.AppendNode(name));
            } else {
                PVirtualNode anchor = model[after - 1];
                model.insert(model.begin() + after, list.InsertNodeAfter(anchor, name));
                // Sometimes a burst after one anchor, each line in front of the last, as
                // directory expansion makes them.
                for (int k = rng() % 8 == 0 ? 3 : 0; k > 0; --k)
                    model.insert(model.begin() + after,
                                 list.InsertNodeAfter(anchor, std::to_string(made++)));
            }
        } else {
            size_t at = rng() % model.size();
            EXPECT_EQ(list.RemoveNode(model[at]), int32_t(at));
            model.erase(model.begin() + at);
        }
        // A walk asks where a line stands and then for the line after it, answered from
        // the line asked about last while the list keeps its shape: after each change the
        // last line asked about, and the lines at its old position and the next, are
        // asked again, then another line and the line after it.
        auto expectAt = [&](int64_t i) {
            return i >= 0 && size_t(i) < model.size() ? model[size_t(i)] : PVirtualNode();
        };
        const auto found = std::find(model.begin(), model.end(), asked);
        ASSERT_EQ(list.Index(asked), found == model.end() ? -1 : int32_t(found - model.begin()));
        ASSERT_EQ(list.NodeAt(askedAt), expectAt(askedAt));
        ASSERT_EQ(list.NodeAt(askedAt + 1), expectAt(askedAt + 1));
        if (!model.empty()) {
            askedAt = int64_t(rng() % model.size());
            ASSERT_EQ(list.Index(model[size_t(askedAt)]), int32_t(askedAt));
            ASSERT_EQ(list.NodeAt(askedAt + 1), expectAt(askedAt + 1));
            if (rng() % 2 && size_t(++askedAt) < model.size()) {
                ASSERT_EQ(list.Index(model[size_t(askedAt)]), int32_t(askedAt));
            }
            asked = expectAt(askedAt);
        }
        if (step % 97 == 0) {
            for (const TListChange& c : list.TakeJournal()) {
                if (c.Kind == TListChange::Reset)
                    view.clear();
                else if (c.Kind == TListChange::Remove)
                    view.erase(view.begin() + c.Position, view.begin() + c.Position + c.Count);
                else {
                    ASSERT_EQ(c.Nodes.size(), size_t(c.Count));
                    view.insert(view.begin() + c.Position, c.Nodes.begin(), c.Nodes.end());
                }
            }
            // The view holds the very lines, in order, not just the right number of rows.
            ASSERT_EQ(view, model);
            for (size_t i = 0; i < model.size(); i += 1 + model.size() / 50) {
                ASSERT_EQ(list.Index(model[i]), int32_t(i));
                ASSERT_EQ(list.NodeAt(int64_t(i)), model[i]);
            }
        }
    }
    std::vector<std::string> expected;
    for (auto& n : model)
        expected.push_back(n->Data.Path);
    EXPECT_EQ(Paths(list), expected);
    EXPECT_EQ(list.RootNodeCount(), model.size());
}

TEST(VirtualTree, JournalMergesExpansionRunsIntoOneChange) {
    TVirtualTree list;
    PVirtualNode dir = list.AppendNode("dir");
    list.AppendNode("after");
    list.EnableJournal(true);
    for (int i = 0; i < 100; ++i)
        list.InsertNodeAfter(dir, "file"); // files go right after the directory line
    auto journal = list.TakeJournal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].Position, 1);
    EXPECT_EQ(journal[0].Count, 100);
    std::vector<PVirtualNode> shown(100);
    for (int i = 0; i < 100; ++i)
        shown[i] = list.NodeAt(1 + i);
    EXPECT_EQ(journal[0].Nodes, shown); // display order, though each went in front
}

// A view that looks while another thread is inside a batch gets what came before the
// batch, and the batch only as a whole once it ends.
TEST(VirtualTree, JournalHoldsBackAnOpenBatch) {
    TVirtualTree list;
    std::vector<PVirtualNode> before = {list.AppendNode("a")};
    EXPECT_EQ(list.EnableJournal(true), before);
    PVirtualNode b = list.AppendNode("b");
    list.BeginBatch();
    PVirtualNode c = list.AppendNode("c"); // would extend b's change if it were not held
    list.RemoveNode(before[0]);
    auto early = list.TakeJournal();
    ASSERT_EQ(early.size(), 1u);
    EXPECT_EQ(early[0].Kind, TListChange::Insert);
    EXPECT_EQ(early[0].Nodes, std::vector<PVirtualNode>{b});
    EXPECT_TRUE(list.Batching());
    list.AppendNode("d");
    EXPECT_TRUE(list.TakeJournal().empty());
    list.EndBatch();
    auto rest = list.TakeJournal();
    ASSERT_EQ(rest.size(), 3u);
    EXPECT_EQ(rest[0].Nodes, std::vector<PVirtualNode>{c});
    EXPECT_EQ(rest[1].Kind, TListChange::Remove);
    EXPECT_EQ(rest[1].Position, 0);
    EXPECT_EQ(rest[2].Position, 2);
}

TEST(VirtualTree, LongChainsOfRemovedLinesAreFreedWithoutRecursion) {
    auto list = std::make_unique<TVirtualTree>();
    PVirtualNode first = list->AppendNode("0");
    for (int i = 1; i < 300000; ++i)
        list->AppendNode(std::to_string(i));
    // Remove one by one from the front: each removed line holds the next, a long chain.
    for (PVirtualNode n = list->FirstNode(); n; n = list->FirstNode())
        list->RemoveNode(n);
    EXPECT_EQ(list->NextNode(first), nullptr);
    list.reset();
    first.reset(); // would overflow the stack if the chain were freed recursively
}
