#include "EngineFixture.h"

#include "engine/PathUtils.h"
#include "platform/FileSystem.h"
#include "platform/SysError.h"
#include "platform/Trash.h"

#include <fcntl.h>

#include <sys/stat.h>

using namespace ferrox;
using namespace ferrox::test;

TEST(PathUtils, SlashesPositionsAndNames) {
    std::string empty, dir = "/dir", slashed = "/dir/";
    AddSlash(empty);
    AddSlash(dir);
    AddSlash(slashed);
    EXPECT_EQ(empty, "");
    EXPECT_EQ(dir, "/dir/");
    EXPECT_EQ(slashed, "/dir/");
    EXPECT_EQ(AddSlash2(""), "");
    EXPECT_EQ(AddSlash2("/dir"), "/dir/");
    EXPECT_EQ(AddSlash2("/dir/"), "/dir/");

    EXPECT_EQ(LastPos('/', "/usr/bin/ferrox"), 9);
    EXPECT_EQ(fncLastPos("/usr/bin/ferrox", '/'), 9);
    EXPECT_EQ(LastPos('x', "abc"), 0);
    EXPECT_EQ(LastPos('/', std::string("a/b\0/c", 6)), 2); // read up to the first NUL
    EXPECT_EQ(NamePart("/a/b/name.txt"), "name.txt");
    EXPECT_EQ(NamePart("/a/b/"), "");
}

TEST_F(TEngineTest, MyFileExistsTakesPatternsInTheLastComponent) {
    WriteFile(P("report.txt"), "x");
    EXPECT_TRUE(MyFileExists(P("report.txt")));
    EXPECT_TRUE(MyFileExists(P("*.txt")));
    EXPECT_TRUE(MyFileExists(P("rep?rt.txt")));
    EXPECT_FALSE(MyFileExists(P("*.doc")));
    EXPECT_TRUE(MyFileExists(dir.Path()));
    EXPECT_TRUE(DirExists(dir.Path()));
    EXPECT_FALSE(DirExists(P("report.txt")));
    EXPECT_TRUE(TraceEntries().empty());
}

TEST_F(TEngineTest, CopyReplacesAnExistingTargetAndReportsProgress) {
    WriteFile(P("a.txt"), "new content");
    WriteFile(P("b.txt"), "old, longer content that must go");
    int err = -1;
    EXPECT_TRUE(DoFileCopy(P("a.txt"), P("b.txt"), false, run.AbortFlag, err));
    EXPECT_EQ(err, 0);
    EXPECT_EQ(ReadFile(P("b.txt")), "new content");
    EXPECT_EQ(ReadFile(P("a.txt")), "new content");
    EXPECT_EQ(status.Texts(),
              (std::vector<std::string>{P("a.txt"), "Finished Copying file [" + P("a.txt") + "]"}));
    TCopyProgressRec first, last;
    ASSERT_TRUE(ProgressList.First(first));
    EXPECT_EQ(first.CallbackReason, 1u);
    EXPECT_EQ(first.TotalBytesTransferred, 0);
    while (ProgressList.First(last))
        ProgressList.RemoveFirst();
    EXPECT_EQ(last.CallbackReason, 0u);
    EXPECT_EQ(last.TotalBytesTransferred, 11);
    EXPECT_GT(CopyStartTime.load(), 0);
    EXPECT_TRUE(TraceEntries().empty());
}

TEST_F(TEngineTest, MissingSourceFailsWithoutALogLine) {
    int err = 0;
    EXPECT_FALSE(DoFileCopy(P("none.txt"), P("out.txt"), true, run.AbortFlag, err));
    EXPECT_EQ(err, ENOENT);
    EXPECT_FALSE(LogExists());
    EXPECT_EQ(status.Texts(), (std::vector<std::string>{P("none.txt"), "Finished Copying file [" +
                                                                           P("none.txt") + "]"}));
}

TEST_F(TEngineTest, FailedCopyIsLoggedAndNeverRemovesTheSource) {
    WriteFile(P("x.txt"), "keep me");
    int err = 0;
    std::string target = P("missing-dir/x.txt");
    EXPECT_FALSE(DoFileCopy(P("x.txt"), target, true, run.AbortFlag, err));
    EXPECT_EQ(err, ENOENT);
    EXPECT_EQ(ReadFile(P("x.txt")), "keep me");
    std::string line =
        "Error copying file [" + P("x.txt") + "] to [" + target + "] No such file or directory";
    EXPECT_EQ(ReadFile(P(LogFileName())), line + "\r\n");
    EXPECT_EQ(status.Count(line), 1u);
}

TEST_F(TEngineTest, MoveSendsTheSourceToTheTrashWhereItCanBeRestored) {
    MakeDir(P("out"));
    WriteFile(P("moved file.txt"), "data");
    ASSERT_EQ(::chmod(P("moved file.txt").c_str(), 0444), 0); // read-only source too
    int err = 0;
    EXPECT_TRUE(DoFileCopy(P("moved file.txt"), P("out/moved file.txt"), true, run.AbortFlag, err));
    EXPECT_FALSE(Exists(P("moved file.txt")));
    EXPECT_EQ(ReadFile(P("out/moved file.txt")), "data");
    std::string trash = P("xdg/Trash");
    EXPECT_EQ(ReadFile(trash + "/files/moved file.txt"), "data");
    std::string info = ReadFile(trash + "/info/moved file.txt.trashinfo");
    EXPECT_NE(info.find("Path=" + TrashEncodePath(P("moved file.txt")) + "\n"), std::string::npos);
}

TEST_F(TEngineTest, MoveWithoutTrashDeletesForGood) {
    DeleteToRecycle = false;
    MakeDir(P("out"));
    WriteFile(P("gone.txt"), "data");
    int err = 0;
    EXPECT_TRUE(DoFileCopy(P("gone.txt"), P("out/gone.txt"), true, run.AbortFlag, err));
    EXPECT_FALSE(Exists(P("gone.txt")));
    EXPECT_FALSE(Exists(P("xdg/Trash/files/gone.txt")));
    EXPECT_EQ(ReadFile(P("out/gone.txt")), "data");
}

TEST_F(TEngineTest, FileCopiedOntoItselfIsRefusedAndKept) {
    MakeDir(P("d"));
    WriteFile(P("d/same.txt"), "precious");
    ASSERT_EQ(::link(P("d/same.txt").c_str(), P("hard.txt").c_str()), 0);
    int err = 0;
    EXPECT_FALSE(DoFileCopy(P("d/same.txt"), P("d/./same.txt"), true, run.AbortFlag, err));
    EXPECT_EQ(err, errSameFile);
    EXPECT_FALSE(DoFileCopy(P("hard.txt"), P("d/same.txt"), true, run.AbortFlag, err));
    EXPECT_EQ(ReadFile(P("d/same.txt")), "precious");
    EXPECT_TRUE(Exists(P("hard.txt")));
}

TEST_F(TEngineTest, AbortInTheMiddleLeavesTheExistingTargetUnharmed) {
    WriteBigFile(P("big.bin"), 256);
    MakeDir(P("out"));
    WriteFile(P("out/big.bin"), "the old target");
    std::thread aborter = WhenCopyStarts([&] { run.AbortFlag = -1; });
    int err = 0;
    bool ok = DoFileCopy(P("big.bin"), P("out/big.bin"), true, run.AbortFlag, err);
    aborter.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(err, ECANCELED);
    EXPECT_EQ(ReadFile(P("out/big.bin")), "the old target");
    EXPECT_TRUE(Exists(P("big.bin"))); // a Move never removes after a failed copy
    int entries = 0;
    EnumerateDirectory(P("out"), [&](const TDirEntry&) { return ++entries, true; });
    EXPECT_EQ(entries, 1); // no temporary file left behind
}

TEST_F(TEngineTest, SourceChangedDuringTheCopyIsNotRemovedByAMove) {
    WriteBigFile(P("growing.bin"), 256);
    MakeDir(P("out"));
    std::thread writer = WhenCopyStarts([&] {
        int fd = ::open(P("growing.bin").c_str(), O_WRONLY | O_APPEND);
        ASSERT_EQ(::write(fd, "more", 4), 4);
        ::close(fd);
    });
    int err = 0;
    bool ok = DoFileCopy(P("growing.bin"), P("out/growing.bin"), true, run.AbortFlag, err);
    writer.join();
    EXPECT_TRUE(ok);
    EXPECT_TRUE(Exists(P("growing.bin")));
    EXPECT_EQ(
        status.Count("Source changed while it was copied, not removed [" + P("growing.bin") + "]"),
        1u);
}
