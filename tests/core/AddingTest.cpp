#include "CommandsFixture.h"

#include "core/UriList.h"

#include <cctype>
#include <cstdio>
#include <unistd.h>

using namespace ferrox;
using namespace ferrox::test;

namespace {

using TInts = std::vector<int32_t>;

TEST_F(TCommandsTest, SelectFilesAppendsInDialogOrderAgainAndSavesAlsoOnCancel) {
    const std::string a = MakeFileHere("a"), b = MakeFileHere("b"), c = MakeFileHere("c");
    commands.AddFiles(TStrings{c, a, b});
    commands.AddFiles(TStrings{a});
    EXPECT_EQ(Paths(q.lstCopyFrom), (TStrings{c, a, b, a}));
    EXPECT_EQ(Statuses(q.lstCopyFrom), (TInts{0, 0, 0, 0}));
    EXPECT_NE(q.lstCopyFrom.NodeAt(1), q.lstCopyFrom.NodeAt(3)) << "the same file twice: two lines";
    EXPECT_EQ(q.lstCopyTo.RootNodeCount(), 0u) << "files get no destination";
    EXPECT_EQ(Saved(), (TSaved{{"F:" + c, ""}, {"F:" + a, ""}, {"F:" + b, ""}, {"F:" + a, ""}}));

    std::remove((dir / "QUEUE.INI").c_str());
    commands.AddFiles(std::nullopt);
    EXPECT_EQ(q.lstCopyFrom.RootNodeCount(), 4u);
    EXPECT_EQ(saves, 3);
    EXPECT_EQ(Saved().size(), 4u) << "a cancel saves too";
    EXPECT_TRUE(TraceEntries().empty());
}

TEST_F(TCommandsTest, SelectDirButtonsBrowseFromTheRememberedFolderWhileItExists) {
    const std::string src = MakeDirHere("src"), dst = MakeDirHere("dst");

    nextFolder = src;
    commands.AddSourceFolder();
    EXPECT_EQ(Paths(q.lstCopyFrom), (TStrings{src}));
    EXPECT_EQ(Statuses(q.lstCopyFrom), (TInts{lsDirWaiting}));
    EXPECT_EQ(commands.LastSourceDir(), src);
    EXPECT_EQ(Saved(), (TSaved{{"D:" + src, ""}}));

    // A cancel and an empty answer change nothing but still save.
    nextFolder = std::nullopt;
    commands.AddSourceFolder();
    nextFolder = "";
    commands.AddSourceFolder();
    EXPECT_EQ(q.lstCopyFrom.RootNodeCount(), 1u);
    EXPECT_EQ(commands.LastSourceDir(), src);
    EXPECT_EQ(saves, 3);

    // Each button has its own memory; a folder gone since is not offered.
    nextFolder = dst;
    commands.AddDestinationFolder();
    RemoveTree(src);
    nextFolder = std::nullopt;
    commands.AddSourceFolder();
    commands.AddDestinationFolder();
    using B = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(browses, (B{{"Select Directory", ""},
                          {"Select Directory", src},
                          {"Select Directory", src},
                          {"Select Directory", ""},
                          {"Select Directory", ""},
                          {"Select Directory", dst}}));
    EXPECT_EQ(commands.LastSourceDir(), src) << "a cancel does not forget it either";
    EXPECT_TRUE(TraceEntries().empty());
}

TEST_F(TCommandsTest, DestinationDirPadsOnlySourcesWithoutDestinationAndIsRememberedAnyway) {
    const std::string dst = MakeDirHere("dst"), other = MakeDirHere("other");
    nextFolder = dst;
    commands.AddDestinationFolder(); // no source lines: nothing to pad
    EXPECT_EQ(q.lstCopyTo.RootNodeCount(), 0u);
    EXPECT_EQ(commands.LastDestDir(), dst);

    for (const char* s : {"s1", "s2", "s3", "s4"})
        From(P(s));
    To(other);
    commands.AddDestinationFolder();
    EXPECT_EQ(Paths(q.lstCopyTo), (TStrings{other, dst, dst, dst}));
    EXPECT_EQ(Statuses(q.lstCopyTo), (TInts{1, 1, 1, 1}));
    EXPECT_EQ(Saved().back(), (TSavedLine{"F:" + P("s4"), dst}));

    commands.AddDestinationFolder(); // both lists equally long
    EXPECT_EQ(q.lstCopyTo.RootNodeCount(), 4u);
    EXPECT_EQ(saves, 3);
}

TEST_F(TCommandsTest, SourceDropMakesFolderAndFileLinesInDropOrder) {
    const std::string d1 = MakeDirHere("d1"), f = MakeFileHere("f"), d2 = MakeDirHere("d2");
    const std::string gone = P("gone"); // not there: the source list takes it as a file
    auto trace = TraceDuring([&] { commands.DropOnSources({d1, f, d2, gone}); });
    EXPECT_EQ(Paths(q.lstCopyFrom), (TStrings{d1, f, d2, gone}));
    EXPECT_EQ(Statuses(q.lstCopyFrom), (TInts{1, 0, 1, 0}));
    EXPECT_EQ(q.lstCopyTo.RootNodeCount(), 0u);
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(Saved().size(), 4u);
    EXPECT_EQ(trace, (TStrings{"lstCopyFromDropFiles", "DragDropit"})) << "one repaint, at the end";
    EXPECT_TRUE(TraceEntries().empty());
}

TEST_F(TCommandsTest, DestinationDropTakesFoldersOnlyThenPadsWithTheLastLine) {
    const std::string first = MakeDirHere("first"), dropped = MakeDirHere("dropped");
    const std::string f = MakeFileHere("f");
    // A file alone on an empty destination list: no line, nothing to pad with.
    From(P("s1"));
    commands.DropOnDestinations({f});
    EXPECT_EQ(q.lstCopyTo.RootNodeCount(), 0u);

    for (const char* s : {"s2", "s3", "s4"})
        From(P(s));
    To(first);
    commands.DropOnDestinations({dropped, f});
    EXPECT_EQ(Paths(q.lstCopyTo), (TStrings{first, dropped, dropped, dropped}));
    EXPECT_EQ(Statuses(q.lstCopyTo), (TInts{1, 1, 1, 1}));
    EXPECT_EQ(Saved().back(), (TSavedLine{"F:" + P("s4"), dropped}));

    // A file alone still pads, with the last destination line.
    q.Clear(q.lstCopyTo);
    To(first);
    auto trace = TraceDuring([&] { commands.DropOnDestinations({f}); });
    EXPECT_EQ(Paths(q.lstCopyTo), (TStrings{first, first, first, first}));
    EXPECT_EQ(trace.front(), "lstCopyToDropFiles");
    EXPECT_TRUE(TraceEntries().empty());
}

TEST_F(TCommandsTest, LongNonUtf8PathsStayWholeFromUriListToQueueFile) {
    // Two components under 255 bytes each, 300 bytes and more in all, neither valid UTF-8.
    const std::string one = "\xff\xfe" + std::string(140, 'a') + "\xe9";
    const std::string two = "b\x80 #?%" + std::string(150, 'c');
    const std::string deep = MakeDirHere(one) + "/" + two;
    MakeDir(deep);
    ASSERT_GT(deep.size(), 300u);

    std::string uri = "file://";
    for (unsigned char ch : deep) {
        static const char hex[] = "0123456789ABCDEF";
        if (std::isalnum(ch) || ch == '/')
            uri += static_cast<char>(ch);
        else
            uri += {'%', hex[ch >> 4], hex[ch & 15]};
    }
    const TStrings paths = LocalPathsFromUriList("# from a file manager\r\n" + uri + "\r\n");
    ASSERT_EQ(paths, (TStrings{deep}));

    commands.DropOnSources(paths);
    commands.DropOnDestinations(paths);
    EXPECT_EQ(Paths(q.lstCopyFrom), (TStrings{deep}));
    EXPECT_EQ(Statuses(q.lstCopyFrom), (TInts{lsDirWaiting})) << "found as the folder it is";
    EXPECT_EQ(Paths(q.lstCopyTo), (TStrings{deep}));
    EXPECT_EQ(Saved(), (TSaved{{"D:" + deep, deep}}));
}

TEST(UriListTest, OnlyLocalFileUrlsAreTakenAndEscapesDecodeToBytes) {
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    const std::string list = "file:///a/b%20c\r\n"
                             "#file:///commented\r\n"
                             "\r\n"
                             "http://example.org/x\r\n"
                             "file://localhost/l%2Fx\r\n"
                             "FILE://" +
                             std::string(host) +
                             "/own\r\n"
                             "file://elsewhere/remote\r\n"
                             "file:/short\n"
                             "file:///nul%00name\r\n"
                             "file:relative\r\n"
                             "file:///100%25%zz%4\r\n"
                             "file:///last";
    EXPECT_EQ(LocalPathsFromUriList(list),
              (TStrings{"/a/b c", "/l/x", "/own", "/short", "/100%%zz%4", "/last"}));
    EXPECT_TRUE(LocalPathsFromUriList("").empty());
}

} // namespace
