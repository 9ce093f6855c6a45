#include "EngineFixture.h"

#include "platform/FileSystem.h"
#include "platform/SysError.h"
#include "platform/UnnamedFile.h"

#include <fcntl.h>
#include <map>
#include <sys/stat.h>

using namespace ferrox;
using namespace ferrox::test;

namespace {

// Watches the files in flight per target directory through the run's own events (told on
// the copy threads), and can hold each copy at its start until a number are in flight.
class TInFlight : public IRunEventSink {
public:
    explicit TInFlight(TEventRecorder& next) : next_(next) {}
    void Tell(const TRunEvent& e) override {
        if (e.Kind == TRunEvent::FileStarted) {
            std::unique_lock lock(mutex_);
            const std::string dir = e.Line ? Target(e.Line) : "";
            const int now = ++inFlight_[dir];
            most_[dir] = std::max(most_[dir], now);
            mostFolders_ = std::max(mostFolders_, FoldersNow());
            changed_.notify_all();
            // Held until HoldUntil copies are in flight at once (or it is clear they
            // will not be), so that side by side shows however fast the disk is.
            const int hold = HoldUntil.count(dir) ? HoldUntil[dir] : 1;
            changed_.wait_for(lock, HoldAtMost, [&] {
                return inFlight_[dir] >= hold && FoldersNow() >= HoldFolders;
            });
        } else if (e.Kind == TRunEvent::FileFinished) {
            std::lock_guard lock(mutex_);
            --inFlight_[Target(e.Line)];
            changed_.notify_all();
        }
        next_.Tell(e);
    }
    int Most(const std::string& dir) {
        std::lock_guard lock(mutex_);
        return most_[dir];
    }
    // The most target directories that had files in flight at one time.
    int MostFolders() {
        std::lock_guard lock(mutex_);
        return mostFolders_;
    }
    std::function<std::string(const PVirtualNode&)> Target;
    std::map<std::string, int> HoldUntil; // by target directory; set before the run
    int HoldFolders = 1;                  // and until files of so many are in flight
    std::chrono::milliseconds HoldAtMost{2000};

private:
    int FoldersNow() const {
        return int(std::count_if(inFlight_.begin(), inFlight_.end(),
                                 [](const auto& dir) { return dir.second > 0; }));
    }
    int mostFolders_ = 0;
    TEventRecorder& next_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, int> inFlight_, most_;
};

struct TParallelTest : TEngineTest {
    TInFlight inFlight{events};
    std::map<std::string, TDeviceKind> kinds; // by target directory; Solid when not named

    void SetUp() override {
        TEngineTest::SetUp();
        run.Settings.Workers = 0; // as each target suits
        run.SetEvents(&inFlight);
        run.Seams.DeviceKindOf = [this](const std::string& dir, dev_t& device) {
            struct stat st;
            if (::stat(dir.c_str(), &st) != 0)
                return TDeviceKind::Unknown;
            // Each directory stands for a device of its own.
            device = static_cast<dev_t>(st.st_ino);
            auto kind = kinds.find(dir);
            return kind == kinds.end() ? TDeviceKind::Solid : kind->second;
        };
        // The destination of a source line: where its copy lands, named by its dest line.
        inFlight.Target = [this](const PVirtualNode& line) {
            const int32_t n = q.lstCopyFrom.Index(line);
            PVirtualNode dest = n >= 0 ? q.lstCopyTo.NodeAt(n) : nullptr;
            return dest ? dest->Data.Path : std::string();
        };
    }
    void TearDown() override {
        control.ReleaseWorker();
        TEngineTest::TearDown();
    }
};

// No temporary of ours is left beside the targets.
void ExpectNoTempFiles(const std::string& dir) {
    EnumerateDirectory(dir, [&](const TDirEntry& e) {
        EXPECT_FALSE(IsCopyTempName(e.Name)) << "left behind: " << e.Name;
        return true;
    });
}

} // namespace

// A run with files side by side ends as one at a time would: each line done, failed or
// (Move) gone where it was, one start and one end told per file, a failure among the
// others told once and not stopping them, and several files really in flight together.
TEST_F(TParallelTest, FilesSideBySideEndAsOneAtATimeWould) {
    MakeDir(P("out"));
    MakeDir(P("src"));
    std::vector<std::string> names;
    for (int i = 0; i < 24; ++i) {
        names.push_back("f" + std::to_string(i));
        WriteFile(P("src/" + names.back()), std::string(size_t(100 + i), char('a' + i % 26)));
        AddPair(P("src/" + names.back()), P("out"), false, i % 3 == 0);
    }
    AddPair(P("src/missing"), P("out")); // fails among the others
    WriteFile(P("out/f5"), "the old target");
    kinds[P("out")] = TDeviceKind::Network; // small files side by side: a share
    inFlight.HoldUntil[P("out")] = 2;
    RunToEnd();

    std::vector<int32_t> statuses = Statuses(q.lstCopyFrom);
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(statuses[i], lsFileDone);
        EXPECT_EQ(ReadFile(P("out/" + names[i])),
                  std::string(size_t(100 + i), char('a' + int(i) % 26)));
        EXPECT_EQ(Exists(P("src/" + names[i])), i % 3 != 0); // a Move's source is gone
    }
    EXPECT_EQ(statuses.back(), lsFileFailed);
    for (int32_t s : Statuses(q.lstCopyTo))
        EXPECT_TRUE(s == lsDirDone || s == lsDirFailed);
    const std::vector<std::string> ev = events.Events();
    for (const std::string& name : names) {
        EXPECT_EQ(std::count(ev.begin(), ev.end(), "started " + P("src/" + name)), 1) << name;
        EXPECT_EQ(std::count(ev.begin(), ev.end(), "finished " + P("src/" + name) + " 0"), 1)
            << name;
    }
    EXPECT_EQ(std::count(ev.begin(), ev.end(),
                         "failed " + P("src/missing") + " " + std::to_string(ENOENT)),
              1);
    EXPECT_EQ(ev.back(), "ended, 1 failed");
    EXPECT_GE(inFlight.Most(P("out")), 2);
    EXPECT_LE(inFlight.Most(P("out")), 8);
    ExpectNoTempFiles(P("out"));
}

// The device decides: one file at a time on a rotating disk whatever else runs, several on
// solid ones beside it (small ones there one at a time, by the run itself), and a large
// file alone on its device.
TEST_F(TParallelTest, EachDeviceTakesAsManyFilesAsItSuits) {
    for (const char* dir : {"spinning", "solid", "solid-small", "src"})
        MakeDir(P(dir));
    kinds[P("spinning")] = TDeviceKind::Rotating;
    // Taken in order: the solid disk's lines first, so none waits behind the spinning one.
    // Sparse files of 1 MiB: beyond small, cheap to copy.
    for (const char* dir : {"solid", "spinning"})
        for (int i = 0; i < 8; ++i) {
            const std::string name = "f" + std::to_string(i);
            WriteFile(P("src/" + name), name);
            ASSERT_EQ(::truncate(P("src/" + name).c_str(), 1 << 20), 0);
            AddPair(P("src/" + name), P(dir));
        }
    for (int i = 0; i < 3; ++i) {
        WriteFile(P("src/s" + std::to_string(i)), "small");
        AddPair(P("src/s" + std::to_string(i)), P("solid-small"));
    }
    // A sparse file of 64 MiB: large enough to have the device to itself, cheap to copy.
    ASSERT_EQ(::truncate((WriteFile(P("src/large"), ""), P("src/large")).c_str(), 64 << 20), 0);
    MakeDir(P("large-out"));
    AddPair(P("src/large"), P("large-out"));
    AddPair(P("src/f0"), P("large-out"));
    // Every copy waits a moment for a second beside it: on the solid disk one comes, on the
    // spinning one and beside the large file none may.
    for (const char* dir : {"solid", "spinning", "large-out", "solid-small"})
        inFlight.HoldUntil[P(dir)] = 2;
    inFlight.HoldAtMost = std::chrono::milliseconds(150);
    RunToEnd();
    for (int32_t s : Statuses(q.lstCopyFrom))
        EXPECT_EQ(s, lsFileDone);
    EXPECT_EQ(inFlight.Most(P("spinning")), 1);
    EXPECT_GE(inFlight.Most(P("solid")), 2);
    EXPECT_EQ(inFlight.Most(P("solid-small")), 1);
    EXPECT_EQ(inFlight.Most(P("large-out")), 1);
}

// The bytes the run's copies have moved, once they stand still (nothing moved for 300
// ms); -1 when they went on moving for 10 s.
int64_t BytesWhenStill(const TRunState& run) {
    int64_t last = run.Progress.BytesMoved.load();
    for (int i = 0; i < 33; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const int64_t now = run.Progress.BytesMoved.load();
        if (now == last)
            return now;
        last = now;
    }
    return -1;
}

// Pause stops the files in flight where they are and starts no other: nothing more is
// written until Resume, and they go on from there to whole copies. Abort during a later
// pause stops every file in flight, leaves no partial target and an old one as it was,
// and the lines not started wait for the next run.
TEST_F(TParallelTest, PauseAndAbortWithFilesInFlight) {
    MakeDir(P("out"));
    MakeDir(P("src"));
    for (int i = 0; i < 12; ++i) {
        WriteBigFile(P("src/b" + std::to_string(i)), 8);
        WriteFile(P("out/b" + std::to_string(i)), "old");
        AddPair(P("src/b" + std::to_string(i)), P("out"));
    }
    std::atomic<int> started{0};
    run.Seams.OnRunPoint = [&](TRunPoint point, const std::string&) {
        if (point == TRunPoint::LineTaken && ++started == 3)
            control.StartPauseResume(); // "Pause" with files in flight
    };
    control.StartPauseResume();
    ASSERT_TRUE(events.WaitFor("paused"));
    const int64_t still = BytesWhenStill(run);
    ASSERT_GE(still, 0) << "the copies went on writing while paused";
    const std::vector<int32_t> atPause = Statuses(q.lstCopyFrom);
    EXPECT_GE(std::count(atPause.begin(), atPause.end(), lsFileCopying), 1);
    EXPECT_LT(std::count(atPause.begin(), atPause.end(), lsFileDone), 3);
    EXPECT_EQ(std::count(atPause.begin(), atPause.end(), lsFileWaiting), 9);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(run.Progress.BytesMoved.load(), still);

    run.Seams.OnRunPoint = [&](TRunPoint point, const std::string&) {
        if (point == TRunPoint::LineTaken && ++started == 6)
            control.StartPauseResume(); // "Pause" again
    };
    events.Clear();
    control.StartPauseResume(); // Resume
    ASSERT_TRUE(events.WaitFor("paused"));
    ASSERT_GE(BytesWhenStill(run), 0);
    EXPECT_TRUE(control.Abort()); // while paused, files in the middle of their copies
    WaitForRunEnd();
    run.Seams.OnRunPoint = nullptr;
    const std::vector<int32_t> statuses = Statuses(q.lstCopyFrom);
    for (size_t i = 0; i < statuses.size(); ++i) {
        const std::string target = P("out/b" + std::to_string(i));
        SCOPED_TRACE(target);
        EXPECT_NE(statuses[i], lsFileCopying);
        if (statuses[i] == lsFileDone)
            EXPECT_TRUE(ReadFile(target) == ReadFile(P("src/b" + std::to_string(i))));
        else
            EXPECT_EQ(ReadFile(target), "old");
    }
    // Four places on the device: the sixth line had one only once two files had ended.
    EXPECT_GE(std::count(statuses.begin(), statuses.end(), lsFileDone), 2);
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), lsFileWaiting), statuses.end());
    EXPECT_NE(events.Events().back().find("interrupted"), std::string::npos)
        << events.Events().back();
    ExpectNoTempFiles(P("out"));
}

// Directories the run made take their sources' times at the end, deepest first, whether
// one file or several went at a time.
TEST_F(TParallelTest, MadeDirectoriesGetTheirSourcesTimes) {
    for (int workers : {1, 0}) {
        SCOPED_TRACE(workers);
        run.Settings.Workers = workers;
        RemoveTree(P("tree"));
        RemoveTree(P("out"));
        MakeDir(P("tree"));
        MakeDir(P("tree/a"));
        MakeDir(P("tree/a/b"));
        // Large enough to go side by side, on threads that may still be writing into the
        // made directories when the run has taken its last line.
        const std::string f(size_t(2) << 20, 'f');
        WriteFile(P("tree/a/b/f"), f);
        WriteFile(P("tree/a/g"), std::string(size_t(2) << 20, 'g'));
        inFlight.HoldUntil[P("out/tree/a/b/")] = 2; // held a moment at its start
        inFlight.HoldAtMost = std::chrono::milliseconds(300);
        MakeDir(P("out"));
        MakeDir(P("out/tree")); // there already: merged, its time left alone
        const std::map<std::string, time_t> times = {
            {"tree", 1000000000}, {"tree/a", 1100000000}, {"tree/a/b", 1200000000}};
        for (const auto& [dir, t] : times) {
            const struct timespec both[2] = {{t, 0}, {t, 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, P(dir).c_str(), both, 0), 0);
        }
        q.Clear(q.lstCopyFrom);
        q.Clear(q.lstCopyTo);
        AddPair(P("tree"), P("out"), true);
        RunToEnd();
        auto mtime = [&](const std::string& path) {
            struct stat st {};
            ::stat(path.c_str(), &st);
            return st.st_mtim.tv_sec;
        };
        EXPECT_EQ(mtime(P("out/tree/a")), times.at("tree/a"));
        EXPECT_EQ(mtime(P("out/tree/a/b")), times.at("tree/a/b"));
        EXPECT_NE(mtime(P("out/tree")), times.at("tree"));
        EXPECT_EQ(ReadFile(P("out/tree/a/b/f")), f);
    }
}

// Two lines of one run that lead to the same target never undo each other, whatever the
// policy and however many files go side by side: a moved file is never lost under another
// line's copy. Replacing policies refuse to replace what the run just copied from another
// source (the same source twice is no conflict); skip and keep-both take only free names.
TEST_F(TParallelTest, LinesOntoOneTargetNeverUndoEachOther) {
    struct TCase {
        TExistingTargets Policy;
        int Workers;
    };
    int round = 0;
    for (TCase c : {TCase{TExistingTargets::Overwrite, 1},
                    {TExistingTargets::Overwrite, 4},
                    {TExistingTargets::Newer, 4},
                    {TExistingTargets::Skip, 4},
                    {TExistingTargets::KeepBoth, 4}}) {
        SCOPED_TRACE(std::string(ExistingTargetsName(c.Policy)) + " × " +
                     std::to_string(c.Workers));
        const std::string base = P("r" + std::to_string(++round));
        for (const char* d : {"", "/A", "/B", "/C", "/out"})
            MakeDir(base + d);
        constexpr int Names = 6;
        q.Clear(q.lstCopyFrom);
        q.Clear(q.lstCopyTo);
        for (int i = 0; i < Names; ++i) {
            const std::string name = "/f" + std::to_string(i);
            WriteFile(base + "/A" + name, "from A " + name);
            WriteFile(base + "/B" + name, "from B " + name);
            AddPair(base + "/A" + name, base + "/out", false, true);
            AddPair(base + "/B" + name, base + "/out", false, true);
        }
        // Links too: each names its own folder.
        for (const char* d : {"/A", "/B"}) {
            ASSERT_EQ(::symlink(d + 1, (base + d + "/l").c_str()), 0);
            AddPair(base + d + "/l", base + "/out", false, true);
        }
        WriteFile(base + "/C/g", "twice");
        AddPair(base + "/C/g", base + "/out");
        AddPair(base + "/C/g", base + "/out");
        kinds[base + "/out"] = TDeviceKind::Network; // every file side by side
        run.Settings.Workers = c.Workers;
        run.Settings.ExistingTargets = c.Policy;
        RunToEnd();

        std::vector<std::string> there; // contents, and "-> " and where each link points
        EnumerateDirectory(base + "/out", [&](const TDirEntry& e) {
            char link[64] = {};
            there.push_back(e.Kind == TEntryKind::Symlink &&
                                    ::readlink((base + "/out/" + e.Name).c_str(), link, 63) > 0
                                ? "-> " + std::string(link)
                                : ReadFile(base + "/out/" + e.Name));
            return true;
        });
        for (const char* d : {"/A", "/B"})
            for (int i = 0; i < Names; ++i) {
                const std::string name = "/f" + std::to_string(i);
                const std::string content = std::string("from ") + (d + 1) + " " + name;
                EXPECT_TRUE(Exists(base + d + name) ||
                            std::count(there.begin(), there.end(), content) == 1)
                    << d << name << " is lost";
            }
        for (const char* d : {"A", "B"}) {
            struct stat st;
            EXPECT_TRUE(::lstat((base + "/" + d + "/l").c_str(), &st) == 0 ||
                        std::count(there.begin(), there.end(), std::string("-> ") + d) == 1)
                << "the link from " << d << " is lost";
        }
        // Newer may also find the other line's copy no older than its source, and skip.
        const bool replaces = c.Policy == TExistingTargets::Overwrite;
        const std::vector<int32_t> statuses = Statuses(q.lstCopyFrom);
        const auto failed = std::count(statuses.begin(), statuses.end(), lsFileFailed);
        if (c.Policy == TExistingTargets::Newer)
            EXPECT_LE(failed, Names + 1);
        else
            EXPECT_EQ(failed, replaces ? Names + 1 : 0);
        EXPECT_EQ(statuses[2 * Names + 2], lsFileDone);
        EXPECT_EQ(statuses[2 * Names + 3], lsFileDone) << "the same source twice is no conflict";
        EXPECT_EQ(ReadFile(base + "/out/g"), "twice");
        size_t refused = 0;
        for (const std::string& e : events.Events())
            refused +=
                e.starts_with("failed ") && e.ends_with(" " + std::to_string(errJustCopiedOther));
        if (replaces) {
            EXPECT_EQ(refused, size_t(Names + 1));
        }
        events.Clear();
        ExpectNoTempFiles(base + "/out");
    }
}

// A folder line marked Move moves every file of its tree, one at a time or side by side,
// each removed only after its own copy; then the folders it emptied go, deepest first,
// and one that still holds something (a file that could not be copied, or one added
// meanwhile) stays, with the reason on the status line.
TEST_F(TParallelTest, FolderMarkedMoveMovesItsTreeAndRemovesWhatItEmptied) {
    for (int workers : {1, 4}) {
        SCOPED_TRACE(std::to_string(workers) + " at once");
        const std::string src = P("src" + std::to_string(workers));
        const std::string out = P("out" + std::to_string(workers));
        for (const char* d : {"", "/sub", "/sub/deeper", "/keep", "/empty"})
            MakeDir(src + d);
        MakeDir(out);
        for (const char* f : {"/a", "/sub/b", "/sub/deeper/c", "/keep/d"})
            WriteFile(src + f, std::string("content of ") + f);
        ASSERT_EQ(::mkfifo((src + "/keep/fifo").c_str(), 0600), 0); // cannot be copied
        kinds[out] = TDeviceKind::Network;
        run.Settings.Workers = workers;
        AddPair(src, out, true, true);
        RunToEnd();

        for (const char* f : {"/a", "/sub/b", "/sub/deeper/c", "/keep/d"}) {
            EXPECT_FALSE(Exists(src + f)) << f;
            EXPECT_EQ(ReadFile(out + "/src" + std::to_string(workers) + f),
                      std::string("content of ") + f);
        }
        for (const char* gone : {"/sub/deeper", "/sub", "/empty"})
            EXPECT_FALSE(Exists(src + gone)) << gone;
        EXPECT_TRUE(Exists(src + "/keep/fifo"));
        EXPECT_EQ(events.Count("not removed " + src + "/keep " + std::to_string(ENOTEMPTY)), 1u);
        EXPECT_EQ(events.Count("not removed " + src + " " + std::to_string(ENOTEMPTY)), 1u);
        events.Clear();
    }
}

// A run stopped part-way through a folder marked Move leaves the folder line done and some
// of its files still to move; the next run moves them and then removes the folders it
// emptied, though it did not expand them itself.
TEST_F(TParallelTest, AFolderMoveStoppedPartWayIsFinishedByTheNextRun) {
    for (const char* d : {"src", "src/sub", "out"})
        MakeDir(P(d));
    for (const char* f : {"src/a", "src/b", "src/sub/c"})
        WriteFile(P(f), f);
    AddPair(P("src"), P("out"), true, true);
    run.Settings.Workers = 1;
    run.Seams.OnRunPoint = [&](TRunPoint point, const std::string& path) {
        if (point == TRunPoint::LineReached && path == P("src/b"))
            control.Abort(); // after a was moved
    };
    RunToEnd();
    run.Seams.OnRunPoint = nullptr;
    ASSERT_FALSE(Exists(P("src/a")));
    ASSERT_TRUE(Exists(P("src/b")));
    RunToEnd();
    for (const char* f : {"a", "b", "sub/c"})
        EXPECT_EQ(ReadFile(P("out/src/") + f), std::string("src/") + f);
    EXPECT_FALSE(Exists(P("src/sub")));
    EXPECT_FALSE(Exists(P("src")));
}

// The speed cap holds the run's total rate, files side by side included, and the run
// still copies every file whole.
TEST_F(TParallelTest, SpeedLimitHoldsTheRunsTotalRate) {
    MakeDir(P("out"));
    MakeDir(P("src"));
    constexpr int files = 4, mib = 3;
    for (int i = 0; i < files; ++i) {
        WriteBigFile(P("src/c" + std::to_string(i)), mib);
        AddPair(P("src/c" + std::to_string(i)), P("out"));
    }
    constexpr int64_t rate = int64_t(6) << 20;
    run.SpeedLimit.SetRate(rate);
    const auto start = std::chrono::steady_clock::now();
    RunToEnd();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.SpeedLimit.SetRate(0);
    const double expected = double(int64_t(files * mib) << 20) / double(rate); // 2 s
    EXPECT_GE(seconds, expected * 0.8);
    EXPECT_LE(seconds, expected * 2.5);
    EXPECT_GE(inFlight.Most(P("out")), 2);
    for (int i = 0; i < files; ++i)
        EXPECT_TRUE(ReadFile(P("out/c" + std::to_string(i))) ==
                    ReadFile(P("src/c" + std::to_string(i))));
}

// Files side by side come from several folders at once: the folder lines ahead are
// expanded early and their files taken in turns, while each folder's lines are still taken
// in their order. Every file arrives, and a Move removes the folders it emptied.
TEST_F(TParallelTest, FilesOfSeveralFoldersAreInFlightTogether) {
    const std::vector<std::string> files = {"top", "a/1", "a/2", "a/3",        "a/4", "a/5",
                                            "b/1", "b/2", "b/3", "b/deeper/1", "c/1"};
    for (const char* d : {"src", "src/a", "src/b", "src/b/deeper", "src/c", "out"})
        MakeDir(P(d));
    for (const std::string& f : files)
        WriteFile(P("src/" + f), "content of " + f);
    AddPair(P("src"), P("out"), true, true);
    run.Settings.Workers = 4;
    std::mutex takenMutex;
    std::vector<std::string> taken;
    run.Seams.OnRunPoint = [&](TRunPoint point, const std::string& path) {
        std::lock_guard lock(takenMutex);
        if (point == TRunPoint::LineTaken)
            taken.push_back(path);
    };
    inFlight.HoldFolders = 2;
    inFlight.HoldAtMost = std::chrono::milliseconds(500);
    RunToEnd();
    run.Seams.OnRunPoint = nullptr;

    for (const std::string& f : files)
        EXPECT_EQ(ReadFile(P("out/src/" + f)), "content of " + f);
    EXPECT_FALSE(Exists(P("src"))) << "every folder it emptied goes, deepest first";
    for (int32_t status : Statuses(q.lstCopyFrom))
        EXPECT_TRUE(status == lsFileDone || status == lsDirDone) << status;
    EXPECT_GE(inFlight.MostFolders(), 2);

    // When each line was taken, and each folder's file lines in their list order.
    std::lock_guard lock(takenMutex);
    std::map<std::string, int> when;
    for (size_t i = 0; i < taken.size(); ++i)
        when[taken[i]] = int(i);
    ASSERT_EQ(taken.size(), size_t(q.lstCopyFrom.RootNodeCount())) << "each line taken once";
    std::map<std::string, std::vector<int>> byFolder;
    for (PVirtualNode line = q.lstCopyFrom.FirstNode(); line; line = q.lstCopyFrom.NextNode(line))
        if (!IsDirStatus(TCopyQueue::StatusOf(line))) {
            const std::string path = line->Data.Path.Str();
            byFolder[path.substr(0, path.rfind('/') + 1)].push_back(when.at(path));
        }
    for (const auto& [folder, times] : byFolder)
        EXPECT_TRUE(std::is_sorted(times.begin(), times.end())) << folder << " out of its order";
    const std::vector<int>& a = byFolder[P("src/a/")];
    const std::vector<int>& b = byFolder[P("src/b/")];
    ASSERT_EQ(a.size(), 5u);
    ASSERT_EQ(b.size(), 3u);
    EXPECT_LT(b.front(), a.back()) << "b's files waited for all of a's";
}
