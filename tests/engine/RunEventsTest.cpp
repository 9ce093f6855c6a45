#include "EngineFixture.h"
#include "platform/PlatformTestUtil.h"

#include <sys/stat.h>

using namespace ferrox;
using namespace ferrox::test;

// Each file is told as it starts and as it ends with its code, a failed line once more
// as a failure; paths come exactly as the lines hold them (brackets included), and a
// directory line tells nothing of itself when it succeeds.
TEST_F(TEngineTest, EventsTellEachFileAndEachFailedLine) {
    MakeDir(P("out"));
    MakeDir(P("tree"));
    WriteFile(P("a[1]"), "a");
    WriteFile(P("tree/x"), "x");
    AddPair(P("a[1]"), P("out"));
    AddPair(P("missing"), P("out"));
    AddPair(P("tree"), P("out"), true);
    RunToEnd();
    const std::string enoent = std::to_string(ENOENT);
    // "Writing to disk" comes only when the flush at the end takes a while: on a busy
    // machine it may, and it is no event of a file.
    std::vector<std::string> told = events.Events();
    std::erase(told, "writing to disk");
    EXPECT_EQ(told, (std::vector<std::string>{
                        "run started",
                        "started " + P("a[1]"),
                        "finished " + P("a[1]") + " 0",
                        "started " + P("missing"),
                        "finished " + P("missing") + " " + enoent,
                        "failed " + P("missing") + " " + enoent,
                        "started " + P("tree/x"),
                        "finished " + P("tree/x") + " 0",
                        "ended, 1 failed",
                    }));
}

// The end is told once the run state is idle again (the recorder checks it when it hears
// the event), and says whether the run was aborted.
TEST_F(TEngineTest, RunEndedFindsTheStateIdleAndTellsAnAbort) {
    MakeDir(P("out"));
    WriteFile(P("a"), "a");
    WriteFile(P("b"), "b");
    AddPair(P("a"), P("out"));
    AddPair(P("b"), P("out"));
    run.Seams.OnRunPoint = [&](TRunPoint point, const std::string& path) {
        if (point == TRunPoint::LineReached && path == P("b"))
            control.Abort(); // "&Abort" before b is taken
    };
    RunToEnd();
    run.Seams.OnRunPoint = nullptr;
    EXPECT_EQ(events.Events().back(), "ended aborted, 1 not reached");
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{lsFileDone, lsFileWaiting}));

    events.Clear();
    RunToEnd();
    EXPECT_EQ(events.Events().back(), "ended");
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{lsFileDone, lsFileDone}));
}

// A Move whose source cannot be removed (a read-only file system) is done as a copy, but
// told as a source not removed.
TEST_F(TEngineTest, MoveWhoseSourceStaysIsToldAsNotRemoved) {
    MakeDir(P("out"));
    TMountedTmpfs ro(P("ro"), "size=1m");
    const bool mounted = ro.Mounted();
    if (mounted) {
        WriteFile(P("ro/kept"), "k");
        ASSERT_EQ(RunShell("mount -o remount,ro '" + P("ro") + "'"), 0);
    } else {
        MakeDir(P("ro"));
        WriteFile(P("ro/kept"), "k");
        ASSERT_EQ(::chmod(P("ro").c_str(), 0555), 0);
    }
    AddPair(P("ro/kept"), P("out"), false, true);
    RunToEnd();
    const bool stayed = Exists(P("ro/kept"));
    if (mounted)
        EXPECT_TRUE(ro.Unmount()) << "the ended run still holds the source's file system";
    else
        ::chmod(P("ro").c_str(), 0755);
    EXPECT_TRUE(stayed);
    EXPECT_EQ(ReadFile(P("out/kept")), "k");
    EXPECT_EQ(Statuses(q.lstCopyFrom), (std::vector<int32_t>{lsFileDone}));
    std::vector<std::string> ev = events.Events();
    EXPECT_EQ(std::count_if(ev.begin(), ev.end(),
                            [&](const std::string& e) {
                                return e.starts_with("not removed " + P("ro/kept") + " ");
                            }),
              1);
}
