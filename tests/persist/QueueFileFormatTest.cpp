#include "persist/QueueFileFormat.h"

#include "platform/Fd.h"
#include "platform/SafeFile.h"
#include "support/TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

using namespace ferrox;
using namespace ferrox::test;

namespace {

using TRead = std::tuple<std::string, std::string, int32_t, bool, bool>;

std::vector<TRead>
Collect(const std::function<void(const std::function<void(TQueueLine&&)>&)>& each) {
    std::vector<TRead> out;
    each([&](TQueueLine&& l) { out.emplace_back(l.From, l.To, l.Status, l.Move, l.Done); });
    return out;
}

// What the reader of the whole text makes of a file, and whether the block reader took it
// as its own and then made the same of it.
struct TBoth {
    std::vector<TRead> Whole, Blocks;
    bool Canonical = false;
};

TBoth ReadBoth(const TTempDir& dir, const std::string& text) {
    const std::string path = dir / "queue.ini";
    WriteFile(path, text);
    TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    TBoth both;
    const TIniReader ini(text);
    both.Whole = Collect([&](const auto& line) { ForEachQueueLine(ini, line); });
    both.Canonical = CanonicalQueueFile(fd.Get(), path);
    if (both.Canonical)
        both.Blocks =
            Collect([&](const auto& line) { ForEachCanonicalQueueLine(fd.Get(), path, line); });
    return both;
}

std::string Group(int n, const std::string& from, const std::string& to = "/t", int done = 0,
                  int move = 0) {
    const std::string k = std::to_string(n);
    return "FROM-" + k + "=" + from + "\r\nTO-" + k + "=" + to + "\r\nDONE-" + k + "=" +
           std::to_string(done) + "\r\nMOVE-" + k + "=" + std::to_string(move) + "\r\n";
}

} // namespace

// The block reader takes only text it reads exactly as the whole-text reader does; the
// rest goes to that reader. A file it takes wrongly would load other lines than before.
TEST(QueueFileFormat, BlockReaderTakesOnlyWhatItReadsAsTheWholeTextReaderDoes) {
    TTempDir dir;
    const std::string head = "[Queue]\r\n";
    const std::string two = Group(1, "F:/a/b") + Group(2, "D:/a/c", "/t2", 1, 1);
    struct TCase {
        const char* What;
        std::string Text;
        bool Canonical;
    } cases[] = {
        {"as written", head + two, true},
        {"line feeds only, blank lines, a byte order mark",
         "\xEF\xBB\xBF[Queue]\n\n" + Group(1, "F:/a b ") + "\n", true},
        {"quoted values and blanks around them", head + Group(1, "\"F: /x \"", " ' /y ' ", 0, 1),
         true},
        {"an empty FROM ends the queue, whatever follows",
         head + Group(1, "F:/a") + "FROM-2=\r\nFROM-3=F:/c\r\n[Other]\r\nx=1\r\n", true},
        {"a FROM without its mark is a line of the whole value, one too short is none",
         head + Group(1, "/plain") + Group(2, "F:") + Group(3, "F:/c"), true},
        {"flags that are no numbers",
         "[Queue]\r\nFROM-1=F:/a\r\nTO-1=/t\r\nDONE-1=yes\r\nMOVE-1=$1\r\n", true},
        {"only the section", head, true},
        {"keys in other case", "[Queue]\r\nfrom-1=F:/a\r\nTO-1=/t\r\nDONE-1=0\r\nMOVE-1=0\r\n",
         false},
        {"keys left out, as by hand",
         "[Queue]\r\nFROM-1=F:/a\r\nTO-1=/t\r\nMOVE-1=1\r\nFROM-2=F:/b\r\nFROM-3=D:/c\r\n"
         "DONE-3=1",
         true},
        {"a left-out key given later",
         "[Queue]\r\nFROM-1=F:/a\r\nTO-1=/t\r\n" + Group(2, "F:/b") + "DONE-1=1\r\n", false},
        {"keys in another order", "[Queue]\r\nFROM-1=F:/a\r\nDONE-1=1\r\nTO-1=/t\r\n", false},
        {"groups out of order", head + Group(2, "F:/b") + Group(1, "F:/a"), false},
        {"a key twice: the first wins", head + Group(1, "F:/a") + Group(1, "F:/other"), false},
        {"another section first", "[Other]\r\nx=1\r\n" + head + two, false},
        {"a later section", head + two + "[Queue]\r\n" + Group(3, "F:/c"), false},
        {"a comment line", head + "; saved by hand\r\n" + two, false},
        {"a NUL in a line", head + Group(1, std::string("F:/a\0b", 6)), false},
        {"no section", two, false},
        {"empty", "", false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        const TBoth both = ReadBoth(dir, c.Text);
        EXPECT_EQ(both.Canonical, c.Canonical);
        if (both.Canonical) {
            EXPECT_EQ(both.Blocks, both.Whole);
        }
    }
}

// Lines across the reader's blocks, and text handed out in pieces: what is written in
// pieces reads back the same, and as the whole text would.
TEST(QueueFileFormat, LargeQueuesWrittenAndReadInPiecesReadBackWhole) {
    TTempDir dir;
    std::vector<TQueueLine> lines;
    for (int i = 0; i < 30000; ++i)
        lines.push_back({"/photos/album-" + std::to_string(i / 300) + "/IMG_" + std::to_string(i) +
                             std::string(size_t(i % 97), 'x') + ".JPG",
                         i % 5 ? "/backup/album-" + std::to_string(i / 300) : "", i % 2, i % 3 == 0,
                         i % 7 == 0});
    lines.push_back({"/has\na line break", "/t", 0, false, false});
    size_t pieces = 0;
    std::string text;
    TQueueTextWriter writer([&](std::string_view piece) {
        ++pieces;
        text += piece;
        return 0;
    });
    for (const TQueueLine& l : lines)
        writer.Add(l.From, l.To, l.Status, l.Move, l.Done);
    EXPECT_EQ(writer.Finish(), 0);
    EXPECT_GT(pieces, 3u);
    EXPECT_EQ(writer.Written, 30000u);
    EXPECT_EQ(writer.Unstorable, std::vector<std::string>{"/has\na line break"});
    EXPECT_EQ(text, QueueText(lines).Text);

    const TBoth both = ReadBoth(dir, text);
    ASSERT_TRUE(both.Canonical);
    ASSERT_EQ(both.Blocks.size(), 30000u);
    EXPECT_EQ(both.Blocks, both.Whole);
    EXPECT_EQ(std::get<0>(both.Blocks[12345]), lines[12345].From);
}

// The first error of the sink ends the writing and is the writer's answer.
TEST(QueueFileFormat, TheSinksFirstErrorStopsTheWriting) {
    int calls = 0;
    TQueueTextWriter writer([&](std::string_view) { return ++calls == 1 ? ENOSPC : 0; });
    for (int i = 0; i < 20000; ++i)
        writer.Add("/a/" + std::string(100, 'x'), "/t", 0, false, false);
    EXPECT_EQ(writer.Finish(), ENOSPC);
    EXPECT_EQ(calls, 1);
}
