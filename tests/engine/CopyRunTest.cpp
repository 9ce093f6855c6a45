#include "EngineFixture.h"

#include "engine/ExpandDir.h"
#include "engine/PathUtils.h"
#include "platform/FileSystem.h"
#include "platform/SysError.h"
#include "platform/UnnamedFile.h"

#include <sys/stat.h>

using namespace ferrox;
using namespace ferrox::test;

namespace {
const std::string Completed = "All File Copies Completed";

bool IsIdle(const TRunState& run) {
    return run.btnCopyNow() == RunTexts::CopyNowIdle && run.btnClose() == RunTexts::CloseIdle &&
           !run.CopyRunning && !run.CopyThisLineOnly && run.AbortFlag == 0;
}
} // namespace

TEST_F(TEngineTest, EmptyQueueStartsAndEndsAtOnce) {
    RunToEnd();
    EXPECT_EQ(status.Texts(), (std::vector<std::string>{"Starting Copy", Completed}));
    EXPECT_TRUE(IsIdle(run));
    EXPECT_TRUE(TraceEntries().empty());
}

TEST_F(TEngineTest, PairsWithoutDestinationAndFinishedLinesArePassedOver) {
    MakeDir(P("out"));
    for (const char* name : {"a", "b", "c", "d"})
        WriteFile(P(name), name);
    AddPair(P("a"), P("out"));
    AddPair(P("b"), P("out"));
    AddPair(P("c"), P("out"));
    q.AddItem(q.lstCopyFrom, P("d"), false, lsFileWaiting); // no destination line
    q.lstCopyFrom.SetStatus(q.lstCopyFrom.NodeAt(1), lsFileDone);
    q.lstCopyFrom.SetStatus(q.lstCopyFrom.NodeAt(2), lsFileFailed);
    RunToEnd();
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{2, 2, 6, 0}));
    EXPECT_EQ(Statuses(q.lstCopyTo), (std::vector<int32_t>{3, 1, 1}));
    EXPECT_TRUE(Exists(P("out/a")));
    EXPECT_FALSE(Exists(P("out/b")));
    EXPECT_FALSE(Exists(P("out/d")));
}

TEST_F(TEngineTest, FailedLineDoesNotStopTheRunAndMoveOnlyTouchesFiles) {
    MakeDir(P("out"));
    MakeDir(P("tree"));
    WriteFile(P("tree/inside"), "i");
    WriteFile(P("lost"), "l");
    WriteFile(P("moved"), "m");
    AddPair(P("lost"), P("no-such-parent/deeper"));
    AddPair(P("moved"), P("out"), false, true);
    AddPair(P("tree"), P("out"), true, true);
    RunToEnd();
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{6, 2, 3, 2}));
    EXPECT_EQ(Statuses(q.lstCopyTo), (std::vector<int32_t>{7, 3, 3, 3}));
    EXPECT_FALSE(Exists(P("moved")));
    EXPECT_EQ(ReadFile(P("out/moved")), "m");
    EXPECT_TRUE(Exists(P("tree/inside"))); // a directory line is never removed
    EXPECT_EQ(ReadFile(P("out/tree/inside")), "i");
    EXPECT_EQ(status.Count("Error copying file [No such file or directory]"), 1u);
    std::vector<std::string> texts = status.Texts();
    EXPECT_EQ(texts.front(), "Starting Copy");
    EXPECT_EQ(texts.back(), Completed);
}

TEST_F(TEngineTest, ExpansionOrderFollowsTheDirectoryAndDestinationsNameTheTarget) {
    MakeDir(P("src"));
    MakeDir(P("out"));
    for (const char* f : {"A", "C", "E"})
        WriteFile(P("src/") + f, f);
    for (const char* d : {"B", "D"})
        MakeDir(P("src/") + d);
    AddPair(P("src"), P("out"), true);
    PVirtualNode dirLine = q.lstCopyFrom.FirstNode();
    TExpandResult r = ExpandDir(q, run, dirLine, P("src"), q.lstCopyTo.FirstNode(), P("out/"));
    ASSERT_TRUE(r.Complete && !r.Failed());

    // Files go right after the directory line, directories after the line inserted last.
    std::vector<std::string> expected{P("src")};
    size_t lastPos = 0;
    EnumerateDirectory(P("src"), [&](const TDirEntry& e) {
        std::string path = P("src/") + e.Name;
        if (e.Kind == TEntryKind::Directory) {
            expected.insert(expected.begin() + lastPos + 1, path);
            ++lastPos;
        } else {
            expected.insert(expected.begin() + 1, path);
            lastPos = 1;
        }
        return true;
    });
    EXPECT_EQ(Paths(q.lstCopyFrom), expected);
    std::vector<std::string> dests(6, P("out/src/"));
    dests[0] = P("out");
    EXPECT_EQ(Paths(q.lstCopyTo), dests);
    EXPECT_EQ(Statuses(q.lstCopyTo), (std::vector<int32_t>{1, 1, 1, 1, 1, 1}));
    EXPECT_TRUE(DirExists(P("out/src")));
}

TEST_F(TEngineTest, WholeTreesCopyCompletelyWithOddNamesHiddenFilesAndEmptyDirectories) {
    MakeDir(P("src"));
    MakeDir(P("src/empty"));
    MakeDir(P("src/.hidden-dir"));
    MakeDir(P("src/a"));
    MakeDir(P("src/a/b"));
    WriteFile(P("src/.dotfile"), "dot");
    WriteFile(P("src/.hidden-dir/x"), "x");
    WriteFile(P("src/a/b/deep.txt"), "deep");
    WriteFile(P("src/a/line\nbreak"), "nl");
    WriteFile(P("src/a/byte\xff"), "ff");
    WriteFile(P("src/a/100%"), "pct");
    WriteFile(P("src/a/-dash"), "dash");
    for (int i = 0; i < 50; ++i)
        WriteFile(P("src/a/b/f" + std::to_string(i)), std::to_string(i));
    ASSERT_EQ(::chmod(P("src/a/b/f1").c_str(), 0600), 0);
    // What a killed copy into src left is not carried along; a file of the user's that only
    // looks alike is.
    const std::string temp = RandomTempName();
    WriteFile(P("src/a/" + temp), "partial");
    WriteFile(P("src/a/.ferrox-notes.part"), "notes");
    AddPair(P("src"), P("out"), true); // destination made on the way
    RunToEnd();
    EXPECT_EQ(
        RunShell("diff -r -x '" + temp + "' '" + P("src") + "' '" + P("out/src") + "' >/dev/null"),
        0);
    EXPECT_FALSE(Exists(P("out/src/a/" + temp)));
    struct stat st;
    ASSERT_EQ(::stat(P("out/src/a/b/f1").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    for (int32_t s : Statuses(q.lstCopyFrom))
        EXPECT_TRUE(s == lsFileDone || s == lsDirDone) << s;
    EXPECT_EQ(q.lstCopyFrom.RootNodeCount(), q.lstCopyTo.RootNodeCount());
    EXPECT_FALSE(LogExists());
}

TEST_F(TEngineTest, DestinationParentMissingFailsWithNothingInserted) {
    MakeDir(P("src"));
    WriteFile(P("src/f"), "f");
    AddPair(P("src"), P("nowhere/deeper"), true);
    RunToEnd();
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{lsDirFailed}));
    EXPECT_EQ(Statuses(q.lstCopyTo), (std::vector<int32_t>{lsDirFailed}));
    EXPECT_EQ(status.Count("Error copying file [No such file or directory]"), 1u);
}

TEST_F(TEngineTest, DirectoryIntoItselfAndTheRootAreRefusedWithNothingMade) {
    MakeDir(P("src"));
    MakeDir(P("src/sub"));
    WriteFile(P("src/sub/f"), "f");
    AddPair(P("src"), P("src/sub"), true);
    AddPair(P("src"), P("src/sub/../."), true);
    AddPair("/", P("out"), true);
    RunToEnd();
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{7, 7, 7}));
    EXPECT_FALSE(Exists(P("src/sub/src")));
    EXPECT_FALSE(Exists(P("out")));
    EXPECT_EQ(status.Count("Error copying file [" + SysErrorMessage(errDirIntoItself) + "]"), 2u);
    EXPECT_EQ(status.Count("Error copying file [" + SysErrorMessage(errRootDirectory) + "]"), 1u);
}

TEST_F(TEngineTest, LinksAreRecreatedNotFollowedAndSpecialFilesFail) {
    MakeDir(P("src"));
    WriteFile(P("target.txt"), "outside");
    ASSERT_EQ(::symlink(P("target.txt").c_str(), P("src/link").c_str()), 0);
    ASSERT_EQ(::symlink(P("src").c_str(), P("src/loop").c_str()), 0); // a loop if followed
    ASSERT_EQ(::mkfifo(P("src/fifo").c_str(), 0600), 0);
    AddPair(P("src"), P("out"), true, true);
    RunToEnd();
    char buf[4096];
    ssize_t n = ::readlink(P("out/src/link").c_str(), buf, sizeof buf);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, size_t(n)), P("target.txt"));
    n = ::readlink(P("out/src/loop").c_str(), buf, sizeof buf);
    EXPECT_EQ(std::string(buf, size_t(n > 0 ? n : 0)), P("src"));
    EXPECT_FALSE(Exists(P("out/src/fifo")));
    EXPECT_EQ(status.Count("Error copying file [" + SysErrorMessage(errSpecialFile) + "]"), 1u);
    EXPECT_EQ(ReadFile(P("target.txt")), "outside");
    EXPECT_EQ(q.lstCopyFrom.RootNodeCount(), 4u); // the loop was not expanded
}

TEST_F(TEngineTest, SelectedLinesModeCopiesExactlyTheSelectedPairs) {
    MakeDir(P("out"));
    for (int i = 0; i < 5; ++i) {
        WriteFile(P("f" + std::to_string(i)), "x");
        MakeDir(P("out" + std::to_string(i)));
        AddPair(P("f" + std::to_string(i)), P("out" + std::to_string(i)));
    }
    q.lstCopyFrom.SetSelected(q.lstCopyFrom.NodeAt(1), true);
    q.lstCopyFrom.SetSelected(q.lstCopyFrom.NodeAt(4), true);
    RunToEnd(true);
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{0, 2, 0, 0, 2}));
    EXPECT_TRUE(Exists(P("out1/f1")));
    EXPECT_TRUE(Exists(P("out4/f4")));
    EXPECT_FALSE(Exists(P("out0/f0")));
    EXPECT_TRUE(IsIdle(run));

    q.lstCopyFrom.ClearSelection();
    status.Clear();
    RunToEnd(true); // nothing selected: ends at once like any run
    EXPECT_EQ(status.Texts(), (std::vector<std::string>{"Starting Copy", Completed}));
    EXPECT_TRUE(IsIdle(run));
}

TEST_F(TEngineTest, AbortDuringALargeFileFailsItAndEndsTheRun) {
    WriteBigFile(P("big.bin"), 256);
    WriteFile(P("next"), "n");
    MakeDir(P("out"));
    WriteFile(P("out/big.bin"), "old");
    AddPair(P("big.bin"), P("out"), false, true);
    AddPair(P("next"), P("out"));
    std::thread aborter = WhenCopyStarts([&] { control.btnCloseClick(); });
    control.btnCopyNowClick();
    aborter.join();
    WaitForRunEnd();
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{lsFileFailed, lsFileWaiting}));
    EXPECT_EQ(ReadFile(P("out/big.bin")), "old");
    EXPECT_TRUE(Exists(P("big.bin")));
    EXPECT_EQ(status.Last(), Completed);
    EXPECT_TRUE(IsIdle(run));
}

TEST_F(TEngineTest, PauseLetsTheFileFinishAndWaitsBeforeTheNextLine) {
    WriteBigFile(P("big.bin"), 128);
    WriteFile(P("next"), "n");
    MakeDir(P("out"));
    AddPair(P("big.bin"), P("out"));
    AddPair(P("next"), P("out"));
    std::thread pauser = WhenCopyStarts([&] { control.btnCopyNowClick(); }); // "Pause"
    control.btnCopyNowClick();
    pauser.join();
    EXPECT_EQ(run.btnCopyNow(), RunTexts::CopyNowPaused);
    EXPECT_TRUE(WaitForStatus("Copy currently Paused."));
    EXPECT_EQ(status.Count("Copy currently Paused."), 1u);
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{lsFileDone, lsFileWaiting}));
    EXPECT_TRUE(run.CopyRunning);
    control.btnCopyNowClick(); // "Resume"
    WaitForRunEnd();
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{lsFileDone, lsFileDone}));
    EXPECT_TRUE(IsIdle(run));
}

TEST_F(TEngineTest, PauseThenAbortWakesTheRunAndCloseNeverQuitsDuringARun) {
    WriteBigFile(P("big.bin"), 64);
    WriteFile(P("a"), "a");
    MakeDir(P("out"));
    AddPair(P("big.bin"), P("out"));
    AddPair(P("a"), P("out"));
    int closed = 0, saved = 0;
    control.CloseProgram = [&] { ++closed; };
    control.SaveQueueOnClose = [&] { ++saved; };
    std::thread pauser = WhenCopyStarts([&] { control.btnCopyNowClick(); });
    control.btnCopyNowClick();
    pauser.join();
    EXPECT_TRUE(WaitForStatus("Copy currently Paused."));
    control.btnCloseClick(); // "&Abort" while paused
    WaitForRunEnd();
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{lsFileDone, lsFileWaiting}));
    EXPECT_TRUE(IsIdle(run));
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(saved, 0);

    control.btnCloseClick(); // idle: save and quit
    EXPECT_EQ(saved, 1);
    EXPECT_EQ(closed, 1);
    EXPECT_TRUE(TraceEntries().empty());
}

TEST_F(TEngineTest, CopyThisLineRefusedWhileARunGoesOn) {
    run.CopyRunning = true;
    control.mnupopFromCopythisLineClick();
    EXPECT_EQ(control.CopyWorker(), nullptr);
    EXPECT_FALSE(run.CopyThisLineOnly);
    EXPECT_TRUE(TraceEntries().empty());
    run.CopyRunning = false;
}

TEST_F(TEngineTest, FullDiskFailsTheLineAndKeepsTheOldTarget) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small file system needs root";
    MakeDir(P("small"));
    if (RunShell("mount -t tmpfs -o size=1m tmpfs '" + P("small") + "' 2>/dev/null") != 0)
        GTEST_SKIP() << "cannot mount tmpfs here";
    WriteFile(P("small/big.bin"), "the old target");
    WriteBigFile(P("big.bin"), 4);
    AddPair(P("big.bin"), P("small"), false, true);
    RunToEnd();
    std::string old = ReadFile(P("small/big.bin"));
    int entries = 0;
    EnumerateDirectory(P("small"), [&](const TDirEntry&) { return ++entries, true; });
    RunShell("umount '" + P("small") + "'");
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{lsFileFailed}));
    EXPECT_EQ(old, "the old target");
    EXPECT_EQ(entries, 1);
    EXPECT_TRUE(Exists(P("big.bin")));
    EXPECT_EQ(status.Count("Error copying file [No space left on device]"), 1u);
}

TEST_F(TEngineTest, ExpansionWaitsWhilePausedAndStopsOnAbortBeforeTheNextEntry) {
    MakeDir(P("src"));
    MakeDir(P("out"));
    for (int i = 0; i < 5; ++i)
        WriteFile(P("src/f" + std::to_string(i)), "x");
    AddPair(P("src"), P("out"), true);
    PVirtualNode dirLine = q.lstCopyFrom.FirstNode(), destLine = q.lstCopyTo.FirstNode();

    run.SetCopyNow(RunTexts::CopyNowPaused);
    run.PauseEvent.Reset();
    TExpandResult r;
    std::thread expander([&] { r = ExpandDir(q, run, dirLine, P("src"), destLine, P("out/")); });
    EXPECT_TRUE(WaitForStatus("Copy currently Paused."));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(q.lstCopyFrom.RootNodeCount(), 1u); // nothing before the resume
    run.SetCopyNow(RunTexts::CopyNowRunning);
    run.PauseEvent.Set();
    expander.join();
    EXPECT_TRUE(r.Complete && !r.Failed());
    EXPECT_EQ(q.lstCopyFrom.RootNodeCount(), 6u);
    EXPECT_EQ(q.lstCopyTo.RootNodeCount(), 6u);

    // An abort stops it before the next entry; what is there stays, nothing failed, and the
    // expansion is not complete.
    MakeDir(P("src2"));
    WriteFile(P("src2/f"), "x");
    AddPair(P("src2"), P("out"), true);
    run.AbortFlag = -1;
    r = ExpandDir(q, run, q.lstCopyFrom.LastNode(), P("src2"), q.lstCopyTo.LastNode(), P("out/"));
    run.AbortFlag = 0;
    EXPECT_FALSE(r.Failed());
    EXPECT_FALSE(r.Complete);
    EXPECT_TRUE(DirExists(P("out/src2")));
    EXPECT_EQ(q.lstCopyFrom.RootNodeCount(), 7u);
}

TEST_F(TEngineTest, PauseDuringTheLastLineDoesNotCarryOverToTheNextRun) {
    WriteBigFile(P("big.bin"), 64);
    MakeDir(P("out"));
    AddPair(P("big.bin"), P("out"));
    std::thread pauser = WhenCopyStarts([&] { control.btnCopyNowClick(); }); // "Pause"
    control.btnCopyNowClick();
    pauser.join();
    WaitForRunEnd();
    EXPECT_TRUE(IsIdle(run));
    EXPECT_FALSE(run.PauseEvent.IsSet());

    // The next start copies at once, and into a target directory that exists already.
    MakeDir(P("tree"));
    WriteFile(P("tree/a"), "a");
    MakeDir(P("out/tree"));
    AddPair(P("tree"), P("out"), true);
    RunToEnd();
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{lsFileDone, lsDirDone, lsFileDone}));
    EXPECT_EQ(ReadFile(P("out/tree/a")), "a");
}
