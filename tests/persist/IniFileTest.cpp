#include "persist/IniFile.h"
#include "platform/SafeFile.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <random>
#include <stdexcept>

using namespace ferrox;
using namespace ferrox::test;

namespace {

std::string Read(const std::string& text, const char* section, const char* key,
                 const char* def = "<none>") {
    return TIniReader(text).ReadString(section, key, def);
}

TEST(IniReader, NamesIgnoreCaseAndTheFirstLineWins) {
    const std::string text = "Orphan=before any section\r\n"
                             "[Queue]\r\n"
                             "FROM-1=first\r\n"
                             "from-1=second\r\n"
                             "[Other]\r\n"
                             "FROM-1=other section\r\n"
                             "[QUEUE]\r\n"
                             "From-1=third\r\n"
                             "TO-1=only in the repeated section\r\n";
    TIniReader ini(text);
    EXPECT_EQ(ini.ReadString("queue", "From-1", ""), "first");
    EXPECT_EQ(ini.ReadString("QUEUE", "FROM-1", ""), "first");
    EXPECT_EQ(ini.ReadString("other", "from-1", ""), "other section");
    EXPECT_EQ(ini.ReadString("Queue", "TO-1", ""), "only in the repeated section");
    EXPECT_EQ(ini.ReadString("Queue", "Orphan", "def"), "def");
    EXPECT_EQ(ini.ReadString("Missing", "FROM-1", "def"), "def");
    EXPECT_EQ(ini.ReadString("Queue", "FROM-2", "def"), "def");
    EXPECT_TRUE(ini.HasSection("oTHER"));
    EXPECT_FALSE(ini.HasSection("Options"));
}

TEST(IniReader, BlanksAndOneMatchingPairOfQuotesAreDropped) {
    const std::string text = "[s]\n"
                             "  spaced   =   a value with  inner  blanks  \t\n"
                             "dq=\"  kept blanks  \"\n"
                             "sq='single'\n"
                             "mixed=\"not a pair'\n"
                             "one=\"\n"
                             "nested=\"'inner'\"\n"
                             "empty=\n"
                             "emptyquotes=\"\"\n"
                             "eq=a=b=c\n";
    TIniReader ini(text);
    EXPECT_EQ(ini.ReadString("s", "spaced", ""), "a value with  inner  blanks");
    EXPECT_EQ(ini.ReadString("s", "dq", ""), "  kept blanks  ");
    EXPECT_EQ(ini.ReadString("s", "sq", ""), "single");
    EXPECT_EQ(ini.ReadString("s", "mixed", ""), "\"not a pair'");
    EXPECT_EQ(ini.ReadString("s", "one", ""), "\"");
    EXPECT_EQ(ini.ReadString("s", "nested", ""), "'inner'");
    EXPECT_EQ(ini.ReadString("s", "empty", "def"), "");
    EXPECT_EQ(ini.ReadString("s", "emptyquotes", "def"), "");
    EXPECT_EQ(ini.ReadString("s", "eq", ""), "a=b=c");
}

TEST(IniReader, FlagsReadIntegersAndFallBackForAnythingElse) {
    struct Case {
        const char* value;
        bool def;
        bool expected;
    };
    const Case cases[] = {
        {"1", false, true},
        {"0", true, false},
        {"2", false, true},
        {"-1", false, true},
        {" 0 ", true, false},
        {"00", true, false},
        {"0x0", true, false},
        {"0X10", false, true},
        {"$1F", false, true},
        {"$0", true, false},
        {"$ffffffff", false, true},
        {"2147483647", false, true},
        {"no", true, true},
        {"no", false, false},
        {"True", false, false},
        {"yes", true, true},
        {"", true, true},
        {"1.5", false, false},
        {"0x", false, false},
        {"$", true, true},
        {"0xG", true, true},
        {"12abc", false, false},
        {"99999999999", false, false},
        {"$100000000", true, true},
        {"'0'", true, false},
        {"\"1\"", false, true},
    };
    for (const Case& c : cases) {
        TIniReader ini("[Options]\r\nFlag=" + std::string(c.value) + "\r\n");
        EXPECT_EQ(ini.ReadBool("Options", "Flag", c.def), c.expected)
            << "value \"" << c.value << "\" default " << c.def;
    }
    TIniReader none("[Options]\r\n");
    EXPECT_TRUE(none.ReadBool("Options", "Flag", true));
    EXPECT_FALSE(none.ReadBool("Options", "Flag", false));
}

TEST(IniReader, LineEndsOfEitherKindAndNoFinalLineEnd) {
    EXPECT_EQ(Read("[a]\nk=lf only\n", "a", "k"), "lf only");
    EXPECT_EQ(Read("[a]\r\nk=crlf\r\n", "a", "k"), "crlf");
    EXPECT_EQ(Read("[a]\r\nk=no final line end", "a", "k"), "no final line end");
    EXPECT_EQ(Read("[a]\r\nk=v\r\r\n", "a", "k"), "v\r") << "only the line end's CR goes";
    EXPECT_EQ(Read("[a", "a", "k"), "<none>");
    EXPECT_EQ(Read("", "a", "k"), "<none>");
}

TEST(IniReader, MalformedInputNeverBreaksTheReader) {
    // Random bytes, many of them line ends, brackets and equals signs.
    std::mt19937 rng(12345);
    const char alphabet[] = "[]=\r\n\"' \tab\0\xff";
    std::string garbage;
    for (int i = 0; i < 2'000'000; ++i)
        garbage += (i % 3 == 0) ? static_cast<char>(rng() & 0xff)
                                : alphabet[rng() % (sizeof alphabet - 1)];
    TIniReader g(garbage + "\n[Known]\nKey=found\n");
    EXPECT_EQ(g.ReadString("Known", "Key", ""), "found");

    // A line of 5 MB, then ordinary lines.
    std::string huge = "[s]\r\nhuge=" + std::string(5 * 1024 * 1024, 'h') + "\r\nafter=ok\r\n";
    TIniReader h(huge);
    EXPECT_EQ(h.ReadString("s", "huge", "").size(), 5u * 1024 * 1024);
    EXPECT_EQ(h.ReadString("s", "after", ""), "ok");
    std::string oneLine(5 * 1024 * 1024, '=');
    EXPECT_EQ(TIniReader(oneLine).ReadString("s", "", "def"), "def");

    // A NUL ends its line's text; the next line is read as usual.
    std::string nul =
        std::string("[s]\r\nk=before") + '\0' + "after\r\nnext=1" + '\0' + "\r\n[t]\r\nz=2\r\n";
    TIniReader n(nul);
    EXPECT_EQ(n.ReadString("s", "k", ""), "before");
    EXPECT_TRUE(n.ReadBool("s", "next", false));
    EXPECT_EQ(n.ReadString("t", "z", ""), "2");
}

TEST(IniReader, FilesMissingOrUnreadable) {
    TTempDir dir;
    TIniReader missing = TIniReader::FromFile(dir / "none.ini");
    EXPECT_EQ(missing.ReadString("Options", "k", "def"), "def");
    EXPECT_THROW(TIniReader::FromFile(dir.Path()), TFileError);
    WriteFile(dir / "a.ini", "[Options]\r\nk=v\r\n");
    EXPECT_EQ(TIniReader::FromFile(dir / "a.ini").ReadString("options", "K", ""), "v");
}

TEST(IniWriter, WritesCrLfLinesThatReadBackUnchanged) {
    TIniWriter w;
    w.Section("Queue");
    w.WriteString("plain", "/a/b c");
    w.WriteBool("yes", true);
    w.WriteBool("no", false);
    EXPECT_EQ(w.Text(), "[Queue]\r\nplain=/a/b c\r\nyes=1\r\nno=0\r\n");

    const std::string awkward[] = {" leading", "trailing ", "\ttab",   "\"quoted\"",
                                   "'single'", "\"",        "mid\rcr", "ends in cr\r",
                                   "'",        "\"x' ",     ""};
    TIniWriter all;
    all.Section("s");
    for (size_t i = 0; i < std::size(awkward); ++i)
        all.WriteString("k" + std::to_string(i), awkward[i]);
    TIniReader back(all.Text());
    for (size_t i = 0; i < std::size(awkward); ++i)
        EXPECT_EQ(back.ReadString("s", "k" + std::to_string(i), "<none>"), awkward[i]);

    TIniWriter bad;
    EXPECT_THROW(bad.WriteString("k", "line\nbreak"), TFileError);
    EXPECT_THROW(bad.WriteString("k", std::string("nul\0byte", 8)), TFileError);
    EXPECT_EQ(bad.Text(), "");
}

} // namespace
