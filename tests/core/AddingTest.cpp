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

// The queue file keeps a line per value, so a path holding a line break would be copied
// now and gone after the next start: every way in refuses it, and says why; the other
// paths of the same drop or dialog are queued.
TEST_F(TCommandsTest, APathHoldingALineBreakIsRefusedWhereverItComesIn) {
    const std::string a = MakeFileHere("a"), odd = P("odd\nname"), folder = MakeDirHere("f");
    MakeDir(P("dir\rname"));
    struct TCase {
        const char* what;
        std::function<void()> add;
        TStrings from, to; // the lists afterwards
        std::string refused;
    };
    const TCase cases[] = {
        {"Select Files",
         [&] {
             commands.AddFiles(TStrings{odd, a});
         },
         {a},
         {},
         odd},
        {"Select Dir over the sources",
         [&] {
             nextFolder = P("dir\rname");
             commands.AddSourceFolder();
         },
         {},
         {},
         P("dir\rname")},
        {"Select Dir over the destinations",
         [&] {
             From(a);
             nextFolder = P("dir\rname");
             commands.AddDestinationFolder();
         },
         {a},
         {},
         P("dir\rname")},
        {"a drop or a paste on the sources",
         [&] {
             commands.DropOnSources({a, odd});
         },
         {a},
         {},
         odd},
        {"a drop or a paste on the destinations",
         [&] {
             From(a);
             commands.DropOnDestinations({P("dir\rname"), folder});
         },
         {a},
         {folder},
         P("dir\rname")},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        q.Clear(q.lstCopyFrom);
        q.Clear(q.lstCopyTo);
        status.Clear();
        c.add();
        EXPECT_EQ(Paths(q.lstCopyFrom), c.from);
        EXPECT_EQ(Paths(q.lstCopyTo), c.to);
        EXPECT_EQ(status.Last(), LineBreakMessage({c.refused}));
        EXPECT_EQ(Saved().size(), c.from.size()) << "what is shown is what is saved";
    }
    EXPECT_EQ(LineBreakMessage({odd, odd}),
              MsgLineBreakInPath + ("[" + P("odd\\nname") + "] and 1 more"));
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

// The local paths of a drop are queued and the others named after the save; a drop of
// which nothing was local adds, pads and saves nothing.
TEST_F(TCommandsTest, UrlsThatAreNotLocalAreNamedAfterTheLocalOnesAreQueued) {
    const std::string d = MakeDirHere("d"), f = MakeFileHere("f");
    const std::string only = "Only local files and folders can be queued, not ";
    From(P("s1"));
    commands.DropOnSources({f}, {"sftp://host/x"});
    EXPECT_EQ(status.Last(), only + "[sftp://host/x]");
    commands.DropOnDestinations({d}, {"smb://s/a", "trash:///b", "recent:///c"});
    EXPECT_EQ(status.Last(), only + "[smb://s/a] and 2 more");
    EXPECT_EQ(Saved(), (TSaved{{"F:" + P("s1"), d}, {"F:" + f, d}}));
    EXPECT_EQ(saves, 3);

    From(P("s2"));
    commands.DropOnSources({}, {"trash:///x"});
    commands.DropOnDestinations({}, {"sftp://h/d"});
    EXPECT_EQ(Paths(q.lstCopyFrom), (TStrings{P("s1"), f, P("s2")}));
    EXPECT_EQ(q.lstCopyTo.RootNodeCount(), 2u) << "no padding";
    EXPECT_EQ(saves, 3);
    EXPECT_EQ(status.Last(), only + "[sftp://h/d]");
    EXPECT_EQ(status.TraceAt(only + "[sftp://h/d]"), (TStrings{"lstCopyToDropFiles"}));
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
    const TStrings paths = ReadUriList("# from a file manager\r\n" + uri + "\r\n").LocalPaths;
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
    const TUriList read = ReadUriList(list);
    EXPECT_EQ(read.LocalPaths,
              (TStrings{"/a/b c", "/l/x", "/own", "/short", "/100%%zz%4", "/last"}));
    EXPECT_EQ(read.NotLocal, (TStrings{"http://example.org/x", "file://elsewhere/remote",
                                       "file:///nul%00name", "file:relative"}));
    EXPECT_TRUE(ReadUriList("").LocalPaths.empty());
}

// What file managers offer on a drag or on the clipboard, in both forms: each URL is
// either a local path or named back as it was written, in the list's order.
TEST(UriListTest, EachUrlIsALocalPathOrNamedAsNotLocal) {
    struct TCase {
        const char* url;
        const char* path; // null: not local
    };
    const TCase cases[] = {
        {"file:///home/u/a%20b", "/home/u/a b"},
        {"sftp://host/x", nullptr},
        {"file://localhost/mnt/share/f", "/mnt/share/f"}, // a mounted share is a path
        {"smb://server/share/f", nullptr},
        {"trash:///f", nullptr},
        {"recent:///0f1e", nullptr},
        {"file://otherhost/x", nullptr},
        {"file:///last", "/last"},
    };
    std::string lines;
    TStrings paths, notLocal;
    for (const TCase& c : cases) {
        lines += std::string(c.url) + "\n";
        (c.path ? paths : notLocal).push_back(c.path ? c.path : c.url);
    }
    for (const std::string& text : {lines, "\r\n" + lines}) {
        const TUriList read = ReadUriList(text);
        EXPECT_EQ(read.LocalPaths, paths);
        EXPECT_EQ(read.NotLocal, notLocal);
    }
    // A cut is read like a copy; some writers leave the word out.
    for (const char* word : {"copy\n", "cut\n", ""}) {
        const TUriList copied = ReadCopiedFiles(word + lines);
        EXPECT_EQ(copied.LocalPaths, paths) << word;
        EXPECT_EQ(copied.NotLocal, notLocal) << word;
    }
}

TEST(UriListTest, PathsWrittenAsUrlsReadBackToTheSameBytes) {
    std::string every = "/";
    for (int b = 1; b < 256; ++b)
        if (b != '/')
            every += static_cast<char>(b);
    const TStrings paths = {every + "/x", "/plain/name.txt", "/a b/%41#?"};
    const std::string uris = UriListOf({paths[0], "relative", paths[1], paths[2]});
    const TUriList read = ReadUriList(uris);
    EXPECT_EQ(read.LocalPaths, paths);
    EXPECT_TRUE(read.NotLocal.empty()) << "a relative path names no URL";
    EXPECT_NE(uris.find("\r\nfile:///plain/name.txt\r\n"), std::string::npos);
    for (char c : uris)
        EXPECT_TRUE((c > ' ' && c < 127) || c == '\r' || c == '\n') << int(c);
}

} // namespace
