#include "EngineFixture.h"

#include "engine/ExpandDir.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/SysError.h"
#include "platform/UnnamedFile.h"

#include "platform/PlatformTestUtil.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <map>
#include <random>
#include <sys/stat.h>

using namespace ferrox;
using namespace ferrox::test;

namespace {
const std::string Completed = "All File Copies Completed";

bool IsIdle(const TRunState& run) {
    return run.Phase.View() == TRunPhaseView{} && !run.CopyRunning && !run.CopyThisLineOnly &&
           !run.AbortAsked;
}
} // namespace

TEST_F(TEngineTest, EmptyQueueStartsAndEndsAtOnce) {
    RunToEnd();
    EXPECT_EQ(events.Events(), (std::vector<std::string>{"run started", "ended"}));
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

TEST_F(TEngineTest, FailedLineDoesNotStopTheRunAndMovesMoveFilesAndFolders) {
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
    EXPECT_FALSE(Exists(P("tree"))); // a folder marked Move is moved, and the emptied folder goes
    EXPECT_EQ(ReadFile(P("out/tree/inside")), "i");
    std::vector<std::string> told = events.Events();
    EXPECT_EQ(told.front(), "run started");
    EXPECT_EQ(events.Count("failed " + P("lost") + " " + std::to_string(ENOENT) + " at " +
                           P("no-such-parent/deeper")),
              1u);
    // How every run ends, with what was not copied.
    EXPECT_EQ(told.back(), "ended, 1 failed");
    // The failed line says why, in both lists, until it is copied after all.
    ASSERT_TRUE(q.lstCopyFrom.FirstNode()->Data.Note());
    EXPECT_NE(q.lstCopyFrom.FirstNode()->Data.Note()->find(": No such file or directory"),
              std::string::npos);
    EXPECT_EQ(q.lstCopyFrom.FirstNode()->Data.Note()->rfind("Failed ", 0), 0u);
    EXPECT_TRUE(q.lstCopyTo.FirstNode()->Data.Note());
    EXPECT_FALSE(q.lstCopyFrom.NodeAt(1)->Data.Note());
    MakeDir(P("no-such-parent"));
    MakeDir(P("no-such-parent/deeper"));
    q.lstCopyFrom.SetSelected(q.lstCopyFrom.FirstNode(), true);
    q.ResetCopyStatus();
    RunToEnd();
    EXPECT_EQ(events.Events().back(), "ended");
    EXPECT_FALSE(q.lstCopyFrom.FirstNode()->Data.Note());
    EXPECT_FALSE(q.lstCopyTo.FirstNode()->Data.Note());
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
    TRunWrites writes;
    TExpandResult r =
        ExpandDir(q, run, writes, dirLine, P("src"), q.lstCopyTo.FirstNode(), P("out/"));
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
    const TTempWriter& us = ThisTempWriter();
    WriteFile(P("src/a/.ferrox-" + us.Machine + "-" + us.Boot + "-999999-abcdef.part"), "mine");
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
    EXPECT_EQ(events.Failures(), 0u);
}

// A directory line whose destination cannot take it fails naming the path at fault, with
// a log line; a link where the copy would make or enter a directory is never followed, at
// any depth (the destination the user named may be one).
TEST_F(TEngineTest, DirectoryLinesFailNamingTheDestinationAtFault) {
    struct TCase {
        const char* Name;
        std::function<void()> Prepare;
        std::string Dest;  // the destination line
        std::string Where; // what the failure names
        int Code;
    };
    MakeDir(P("src"));
    MakeDir(P("src/sub"));
    WriteFile(P("src/f"), "f");
    WriteFile(P("src/sub/g"), "g");
    const TCase cases[] = {
        {"parent missing", [] {}, P("nowhere/deeper"), P("nowhere/deeper"), ENOENT},
        {"destination is a file", [&] { WriteFile(P("file"), "x"); }, P("file"), P("file"),
         ENOTDIR},
        {"target directory is a link",
         [&] {
             MakeDir(P("d1"));
             ASSERT_EQ(::symlink(P("outside").c_str(), P("d1/src").c_str()), 0);
         },
         P("d1"), P("d1/src/"), errTargetIsLink},
        {"target directory is a file",
         [&] {
             MakeDir(P("d2"));
             WriteFile(P("d2/src"), "x");
         },
         P("d2"), P("d2/src/"), ENOTDIR},
        {"nested target directory is a link",
         [&] {
             MakeDir(P("d3"));
             MakeDir(P("d3/src"));
             ASSERT_EQ(::symlink(P("outside").c_str(), P("d3/src/sub").c_str()), 0);
         },
         P("d3"), P("d3/src/sub/"), errTargetIsLink},
    };
    MakeDir(P("outside"));
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        c.Prepare();
        q.Clear(q.lstCopyFrom);
        q.Clear(q.lstCopyTo);
        events.Clear();
        AddPair(P("src"), c.Dest, true);
        RunToEnd();
        const std::string failedLine = c.Where.ends_with("sub/") ? P("src/sub") : P("src");
        EXPECT_EQ(events.Count("failed " + failedLine + " " + std::to_string(c.Code) + " at " +
                               c.Where + " making"),
                  1u);
        EXPECT_EQ(NamesIn(P("outside")).size(), 0u);
    }
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
    EXPECT_EQ(events.Count("failed " + P("src") + " " + std::to_string(errDirIntoItself)), 2u);
    EXPECT_EQ(events.Count("failed / " + std::to_string(errRootDirectory)), 1u);
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
    EXPECT_EQ(events.Count("failed " + P("src/fifo") + " " + std::to_string(errSpecialFile)), 1u);
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
    events.Clear();
    RunToEnd(true); // nothing selected: ends at once like any run
    EXPECT_EQ(events.Events(), (std::vector<std::string>{"run started", "ended"}));
    EXPECT_TRUE(IsIdle(run));
}

// The line shows as failed, but the run tells it as interrupted, with how far it got: an
// abort is what the user asked for, not an error.
TEST_F(TEngineTest, AbortDuringALargeFileInterruptsItAndEndsTheRun) {
    WriteBigFile(P("big.bin"), 256);
    WriteFile(P("next"), "n");
    MakeDir(P("out"));
    WriteFile(P("out/big.bin"), "old");
    AddPair(P("big.bin"), P("out"), false, true);
    AddPair(P("next"), P("out"));
    std::thread aborter = WhenCopyStarts(run.Progress, [&] { control.Abort(); });
    control.StartPauseResume();
    aborter.join();
    WaitForRunEnd();
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{lsFileFailed, lsFileWaiting}));
    EXPECT_EQ(ReadFile(P("out/big.bin")), "old");
    EXPECT_TRUE(Exists(P("big.bin")));
    EXPECT_EQ(events.Events().back(), "ended aborted, 1 interrupted, 1 not reached");
    EXPECT_TRUE(IsIdle(run));
    const std::vector<std::string> ev = events.Events();
    const std::string stopped = "interrupted " + P("big.bin") + " ";
    const auto told = std::find_if(ev.begin(), ev.end(),
                                   [&](const std::string& e) { return e.rfind(stopped, 0) == 0; });
    ASSERT_NE(told, ev.end());
    long long written = 0, size = 0;
    ASSERT_EQ(std::sscanf(told->c_str() + stopped.size(), "%lld of %lld", &written, &size), 2);
    EXPECT_GT(written, 0) << "the copy had begun";
    EXPECT_LT(written, size);
    EXPECT_EQ(size, 256ll << 20);
    for (const std::string& e : ev)
        EXPECT_NE(e.rfind("failed ", 0), 0u) << e;
}

// Pause stops a large file where it is: the run says it is paused with the file still in
// progress, and nothing more is written until Resume, which goes on from there (one start
// told, not two) to a copy equal to its source.
TEST_F(TEngineTest, PauseStopsTheFileWhereItIsAndResumeGoesOnFromThere) {
    WriteBigFile(P("big.bin"), 128);
    WriteFile(P("next"), "n");
    MakeDir(P("out"));
    AddPair(P("big.bin"), P("out"));
    AddPair(P("next"), P("out"));
    std::thread pauser =
        WhenCopyStarts(run.Progress, [&] { control.StartPauseResume(); }); // "Pause"
    control.StartPauseResume();
    pauser.join();
    EXPECT_TRUE(run.Phase.View().Held);
    ASSERT_TRUE(events.WaitFor("paused"));
    EXPECT_EQ(run.Phase.Phase(), TRunPhase::Paused);
    EXPECT_EQ(events.Count("paused"), 1u);
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{lsFileCopying, lsFileWaiting}));
    EXPECT_FALSE(run.Progress.Run.Active) << "paused time is no copying time";
    const int64_t atPause = run.Progress.BytesMoved.load();
    // Time for a copy that went on to show itself.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(run.Progress.BytesMoved.load(), atPause);
    EXPECT_LT(atPause, int64_t(128) << 20);
    EXPECT_TRUE(run.CopyRunning);
    control.StartPauseResume(); // "Resume"
    WaitForRunEnd();
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{lsFileDone, lsFileDone}));
    EXPECT_TRUE(ReadFile(P("out/big.bin")) == ReadFile(P("big.bin")));
    EXPECT_EQ(events.Count("started " + P("big.bin")), 1u);
    EXPECT_TRUE(IsIdle(run));
}

// Abort while a file waits in the middle of its copy: nothing of it stays, an old target
// is as it was, and the line is told as interrupted.
TEST_F(TEngineTest, PauseThenAbortWakesTheRunAndCloseNeverQuitsDuringARun) {
    WriteBigFile(P("big.bin"), 64);
    WriteFile(P("a"), "a");
    MakeDir(P("out"));
    WriteFile(P("out/big.bin"), "old");
    AddPair(P("big.bin"), P("out"));
    AddPair(P("a"), P("out"));
    std::thread pauser = WhenCopyStarts(run.Progress, [&] { control.StartPauseResume(); });
    control.StartPauseResume();
    pauser.join();
    EXPECT_TRUE(events.WaitFor("paused"));
    EXPECT_TRUE(control.Abort()); // "&Abort" while paused: no close
    WaitForRunEnd();
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{lsFileFailed, lsFileWaiting}));
    EXPECT_EQ(ReadFile(P("out/big.bin")), "old");
    int entries = 0;
    EnumerateDirectory(P("out"), [&](const TDirEntry&) { return ++entries, true; });
    EXPECT_EQ(entries, 1);
    EXPECT_EQ(events.Events().back(), "ended aborted, 1 interrupted, 1 not reached");
    EXPECT_TRUE(IsIdle(run));

    EXPECT_FALSE(control.Abort()); // idle: the Close button saves and quits
    EXPECT_TRUE(TraceEntries().empty());
}

TEST_F(TEngineTest, CopyThisLineRefusedWhileARunGoesOn) {
    run.CopyRunning = true;
    control.CopySelectedLinesNow();
    EXPECT_EQ(control.CopyWorker(), nullptr);
    EXPECT_FALSE(run.CopyThisLineOnly);
    EXPECT_TRUE(TraceEntries().empty());
    run.CopyRunning = false;
}

TEST_F(TEngineTest, FullDiskFailsTheLineAndKeepsTheOldTarget) {
    TMountedTmpfs small(P("small"), "size=1m");
    if (!small.Mounted())
        GTEST_SKIP() << "mounting a small file system needs root";
    WriteFile(P("small/big.bin"), "the old target");
    WriteBigFile(P("big.bin"), 4);
    AddPair(P("big.bin"), P("small"), false, true);
    RunToEnd();
    std::string old = ReadFile(P("small/big.bin"));
    int entries = 0;
    EnumerateDirectory(P("small"), [&](const TDirEntry&) { return ++entries, true; });
    // The ended run holds nothing there: the disk can be unmounted at once.
    EXPECT_TRUE(small.Unmount());
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{lsFileFailed}));
    EXPECT_EQ(old, "the old target");
    EXPECT_EQ(entries, 1);
    EXPECT_TRUE(Exists(P("big.bin")));
    EXPECT_EQ(events.Count("failed " + P("big.bin") + " " + std::to_string(ENOSPC)), 1u);
}

TEST_F(TEngineTest, ExpansionWaitsWhilePausedAndStopsOnAbortBeforeTheNextEntry) {
    MakeDir(P("src"));
    MakeDir(P("out"));
    for (int i = 0; i < 5; ++i)
        WriteFile(P("src/f" + std::to_string(i)), "x");
    AddPair(P("src"), P("out"), true);
    PVirtualNode dirLine = q.lstCopyFrom.FirstNode(), destLine = q.lstCopyTo.FirstNode();

    run.Phase.Start();
    run.Phase.Pause();
    run.PauseEvent.Reset();
    TExpandResult r;
    TRunWrites writes;
    std::thread expander(
        [&] { r = ExpandDir(q, run, writes, dirLine, P("src"), destLine, P("out/")); });
    EXPECT_TRUE(events.WaitFor("paused"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(q.lstCopyFrom.RootNodeCount(), 1u); // nothing before the resume
    EXPECT_EQ(run.Phase.Phase(), TRunPhase::Paused);
    run.Phase.Resume();
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
    run.AbortAsked = true;
    r = ExpandDir(q, run, writes, q.lstCopyFrom.LastNode(), P("src2"), q.lstCopyTo.LastNode(),
                  P("out/"));
    run.AbortAsked = false;
    run.Phase.Ended();
    EXPECT_FALSE(r.Failed());
    EXPECT_FALSE(r.Complete);
    EXPECT_TRUE(DirExists(P("out/src2")));
    EXPECT_EQ(q.lstCopyFrom.RootNodeCount(), 7u);
}

TEST_F(TEngineTest, PauseDuringTheLastLineDoesNotCarryOverToTheNextRun) {
    WriteFile(P("a"), "a");
    MakeDir(P("out"));
    AddPair(P("a"), P("out"));
    // A last line without a destination: the run passes over it, paused or not, and ends.
    q.AddItem(q.lstCopyFrom, P("alone"), false, lsFileWaiting);
    run.Seams.OnRunPoint = [&](TRunPoint point, const std::string& path) {
        if (point == TRunPoint::LineReached && path == P("alone"))
            control.StartPauseResume(); // "Pause"
    };
    control.StartPauseResume();
    WaitForRunEnd();
    run.Seams.OnRunPoint = nullptr;
    EXPECT_TRUE(IsIdle(run));
    EXPECT_FALSE(run.PauseEvent.IsSet());
    // The lonely line (failed, never taken again) gets a partner, so the next pair lines up.
    q.AddItem(q.lstCopyTo, P("out"), false, lsDirWaiting);

    // The next start copies at once, and into a target directory that exists already.
    MakeDir(P("tree"));
    WriteFile(P("tree/a"), "a");
    MakeDir(P("out/tree"));
    AddPair(P("tree"), P("out"), true);
    RunToEnd();
    EXPECT_EQ(Statuses(q.lstCopyFrom),
              (std::vector<int32_t>{lsFileDone, lsFileFailed, lsDirDone, lsFileDone}));
    EXPECT_EQ(ReadFile(P("out/tree/a")), "a");
}

// Directories renamed, swapped or re-pointed during a run: each line's file is read from,
// written to and (Move) removed at where its paths lead when the run takes it. A cached
// directory that no longer is where its path leads is never used again, and a moved
// source is removed only where it was copied from.
TEST_F(TEngineTest, DirectoriesChangedDuringARunAreFollowedLineByLine) {
    struct TCase {
        const char* Name;
        bool SourceSide;
        std::function<void()> Change; // between the first and the second line
    };
    auto relink = [&](const std::string& link, const std::string& to) {
        ASSERT_EQ(::symlink(to.c_str(), P("tmp-link").c_str()), 0);
        ASSERT_EQ(::rename(P("tmp-link").c_str(), link.c_str()), 0);
    };
    const TCase cases[] = {
        {"source link re-pointed", true, [&] { relink(P("cur"), P("v2")); }},
        {"source directories swapped", true,
         [&] {
             ASSERT_EQ(
                 ::renameat2(AT_FDCWD, P("v1").c_str(), AT_FDCWD, P("v2").c_str(), RENAME_EXCHANGE),
                 0);
         }},
        {"destination renamed, a link in its place", false,
         [&] {
             ASSERT_EQ(::rename(P("d").c_str(), P("d.old").c_str()), 0);
             ASSERT_EQ(::symlink(P("other").c_str(), P("d").c_str()), 0);
         }},
        {"destination deleted and made again", false,
         [&] {
             ASSERT_EQ(::rename(P("d").c_str(), P("d.gone").c_str()), 0);
             MakeDir(P("d"));
         }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        RunShell("rm -rf '" + P("v1") + "' '" + P("v2") + "' '" + P("cur") + "' '" + P("d") +
                 "' '" + P("d.old") + "' '" + P("d.gone") + "' '" + P("other") + "'");
        for (const char* v : {"v1", "v2"}) {
            MakeDir(P(v));
            for (const char* f : {"f1", "f2", "f3"})
                WriteFile(P(v) + "/" + f, std::string(v) + f);
        }
        ASSERT_EQ(::symlink(P("v1").c_str(), P("cur").c_str()), 0);
        MakeDir(P("d"));
        MakeDir(P("other"));
        q.Clear(q.lstCopyFrom);
        q.Clear(q.lstCopyTo);
        run.Settings.DeleteToRecycle = false;
        const std::string via = c.Name == std::string("source directories swapped") ? "v1" : "cur";
        for (const char* f : {"f1", "f2", "f3"})
            AddPair(P(via) + "/" + f, P("d"), false, true);
        run.Seams.OnRunPoint = [&](TRunPoint point, const std::string& path) {
            if (point == TRunPoint::LineReached && path == P(via) + "/f2")
                c.Change();
        };
        RunToEnd();
        run.Seams.OnRunPoint = nullptr;
        for (int32_t s : Statuses(q.lstCopyFrom))
            EXPECT_EQ(s, lsFileDone);
        if (c.SourceSide) {
            // f1 came from v1, the rest from what the path names now (v2's files, or v1's
            // directory under the name v2 after the swap): each removed where it was read.
            const bool swapped = via == "v1";
            const std::string first = swapped ? "v2" : "v1";  // where v1's files are now
            const std::string second = swapped ? "v1" : "v2"; // where v2's files are now
            EXPECT_EQ(ReadFile(P("d/f1")), "v1f1");
            EXPECT_EQ(ReadFile(P("d/f2")), "v2f2");
            EXPECT_EQ(ReadFile(P("d/f3")), "v2f3");
            EXPECT_FALSE(Exists(P(first) + "/f1"));
            EXPECT_TRUE(Exists(P(first) + "/f2"));
            EXPECT_TRUE(Exists(P(first) + "/f3"));
            EXPECT_TRUE(Exists(P(second) + "/f1"));
            EXPECT_FALSE(Exists(P(second) + "/f2"));
            EXPECT_FALSE(Exists(P(second) + "/f3"));
        } else {
            const std::string old = Exists(P("d.old")) ? "d.old" : "d.gone";
            EXPECT_EQ(NamesIn(P(old)), std::vector<std::string>{"f1"});
            auto names = NamesIn(P("d"));
            std::sort(names.begin(), names.end());
            EXPECT_EQ(names, (std::vector<std::string>{"f2", "f3"}));
            for (const char* f : {"f1", "f2", "f3"})
                EXPECT_FALSE(Exists(P("v1") + "/" + f));
        }
    }
}

// The run's record of the sizes its expansions found: each size is told once, to its own
// line, while up to the most it holds, whatever the lines' addresses make of the table (lines
// close together and far apart, taken in and out of the order they were noted, noted again).
TEST(SeenSizes, EachLineGetsItsOwnSizeOnceWhateverItsSlot) {
    TSeenSizes seen;
    std::map<const TVirtualNode*, int64_t> model;
    std::mt19937 rng(7);
    auto line = [&](uint32_t k) { // never read: only an address
        return reinterpret_cast<const TVirtualNode*>(uintptr_t(0x10000) + uintptr_t(k) * 64);
    };
    for (int step = 0; step < 200000; ++step) {
        const auto* l = line(rng() % (step < 100000 ? 3000 : 60000));
        if (rng() % 3 != 0) {
            const int64_t size = int64_t(rng() % 5000);
            seen.Note(l, size);
            model[l] = size;
        } else {
            auto known = model.find(l);
            const auto taken = seen.Take(l);
            ASSERT_EQ(taken.has_value(), known != model.end()) << step;
            if (known != model.end()) {
                ASSERT_EQ(*taken, known->second) << step;
                model.erase(known);
            }
            ASSERT_FALSE(seen.Take(l)) << step;
        }
    }
    // Past the most it holds, it starts again: the lines noted since are known.
    for (uint32_t k = 0; k < 70000; ++k)
        seen.Note(line(1000000 + k), k);
    EXPECT_FALSE(seen.Take(line(1000000)));
    EXPECT_EQ(seen.Take(line(1069999)), 69999);
}
