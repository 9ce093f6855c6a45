#include "listctl/LinePath.h"
#include "listctl/VirtualTree.h"
#include "support/ListHelpers.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace ferrox;
using namespace ferrox::test;

// Paths share their directory part and, made again, their whole storage: each must still
// read back exactly as it was given, whatever was made between, on whichever thread.
TEST(LinePath, EveryPathReadsBackAsGivenWhateverItShares) {
    const std::vector<std::string> given = {
        "/a/b/c", "/a/b/d", "/x/",     "/x/",   "/a/b/c", "name", "",
        "/",      "/a/b/",  "/a/b/c/", "/a/bc", "/a/b/c", "//",   "/a/b/" + std::string(300, 'n'),
        "/a/b/d", // after four other directories: the directory part is no longer kept
    };
    std::vector<TLinePath> made;
    for (const std::string& p : given)
        made.emplace_back(p);
    for (size_t i = 0; i < given.size(); ++i) {
        SCOPED_TRACE(given[i]);
        EXPECT_EQ(made[i].Str(), given[i]);
        EXPECT_EQ(made[i].size(), given[i].size());
        EXPECT_TRUE(made[i] == given[i]);
        // A path differing in its directory part or its name is not equal.
        EXPECT_FALSE(made[i] == given[i] + "x");
        EXPECT_FALSE(made[i] == "x" + given[i]);
    }
    EXPECT_TRUE(made[0] == made[4]);
    EXPECT_FALSE(made[0] == made[1]);
    EXPECT_TRUE(made[6].empty());
    // Copies outlive the originals and the storage they shared.
    std::vector<TLinePath> copies(made.begin(), made.end());
    made.clear();
    for (size_t i = 0; i < given.size(); ++i)
        EXPECT_EQ(copies[i].Str(), given[i]);
}

TEST(LinePath, LinesKeepTheirPathsThroughInsertsRemovalsAndOtherThreads) {
    TVirtualTree list;
    // Two threads make lines of the same directories in turn, as an expansion and a load
    // may: each thread shares its own parts, the lines hold them.
    auto fill = [&list](const std::string& dir, int n) {
        for (int i = 0; i < n; ++i) {
            list.AppendNode(dir + "f" + std::to_string(i));
            list.AppendNode("/dest/same");
        }
    };
    std::thread other([&] { fill("/other/dir/", 500); });
    fill("/mine/dir/", 500);
    other.join();
    // The destination lines removed, a line inserted after each source line: the
    // survivors and the new lines read as they were made.
    std::vector<PVirtualNode> all;
    for (PVirtualNode n = list.FirstNode(); n; n = list.NextNode(n))
        all.push_back(n);
    for (const PVirtualNode& n : all) {
        if (n->Data.Path == "/dest/same")
            list.RemoveNode(n);
        else
            list.InsertNodeAfter(n, n->Data.Path.Str() + ".moved");
    }
    all.clear();
    const std::vector<std::string> paths = Paths(list);
    ASSERT_EQ(paths.size(), 2000u);
    std::multiset<std::string> sources;
    for (size_t i = 0; i < paths.size(); i += 2) {
        EXPECT_EQ(paths[i + 1], paths[i] + ".moved");
        sources.insert(paths[i]);
    }
    std::multiset<std::string> made;
    for (const char* dir : {"/mine/dir/f", "/other/dir/f"})
        for (int i = 0; i < 500; ++i)
            made.insert(dir + std::to_string(i));
    EXPECT_EQ(sources, made);
    list.RemoveAllNodes();
    EXPECT_EQ(list.RootNodeCount(), 0u);
}

// Notes are kept apart from the lines, by line: a line's note goes with it, and a line
// made later in the same memory starts without one.
TEST(LinePath, ANoteGoesWithItsLineAndNoNewLineInheritsIt) {
    TVirtualTree list;
    PVirtualNode failed = list.AppendNode("/a/failed");
    PVirtualNode other = list.AppendNode("/a/other");
    failed->Data.SetNote("Failed 14:02:11: Permission denied");
    other->Data.SetNote("Failed 14:02:12: No space left on device");
    other->Data.SetNote("Failed 14:02:13: Input/output error");
    list.RemoveNode(failed);
    failed.reset();
    for (int i = 0; i < 1000; ++i)
        EXPECT_FALSE(list.AppendNode("/a/new" + std::to_string(i))->Data.Note());
    ASSERT_TRUE(other->Data.Note());
    EXPECT_EQ(*other->Data.Note(), "Failed 14:02:13: Input/output error");
    other->Data.ClearNote();
    EXPECT_FALSE(other->Data.Note());
}
