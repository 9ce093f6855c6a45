#include "EngineFixture.h"
#include "platform/PlatformTestUtil.h"

#include "engine/progress/RunFiguresMeter.h"
#include "engine/progress/TimeLeft.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <set>
#include <sys/stat.h>

using namespace ferrox;
using namespace ferrox::test;
using namespace std::chrono_literals;

namespace {

// Whatever windows the fit is fed (here ones where more files came with less time, which
// a least-squares fit turns into a negative cost per file), more files or more bytes to
// go never make the time left shorter, and it is never negative.
TEST(RunFigures, MoreToGoNeverTakesLess) {
    struct TWindow {
        double Seconds, Files, Bytes;
    };
    const std::vector<std::vector<TWindow>> runs = {
        {{1.0, 0, 1e8}, {0.5, 100, 1e8}, {1.0, 0, 1e8}, {0.6, 90, 1e8}},
        {{1.0, 500, 0}, {1.0, 10, 1e8}, {1.0, 600, 1e3}},
        {{1.0, 1, 5e8}, {1.0, 1, 4e8}, {1.0, 2, 4.5e8}},
    };
    for (size_t r = 0; r < runs.size(); ++r) {
        SCOPED_TRACE("windows " + std::to_string(r));
        TTimeLeft fit;
        fit.SetPerByteHint(1e-8);
        for (const TWindow& w : runs[r])
            fit.AddWindow(w.Seconds, w.Files, w.Bytes);
        for (double files : {0.0, 10.0, 1000.0})
            for (double bytes : {0.0, 1e6, 1e9}) {
                const auto base = fit.SecondsFor(files, bytes);
                const auto moreFiles = fit.SecondsFor(files + 1000, bytes);
                const auto moreBytes = fit.SecondsFor(files, bytes + 1e9);
                ASSERT_TRUE(base && moreFiles && moreBytes) << files << " files " << bytes;
                EXPECT_GE(*base, 0.0);
                EXPECT_GE(*moreFiles, *base) << files << " files " << bytes;
                EXPECT_GE(*moreBytes, *base) << files << " files " << bytes;
            }
    }
}

// A run of many small files and a few large ones, played through the meter with a fake
// clock: each second the counters move as a disk of a fixed per-file cost and byte rate
// would move them. The time left must come close to the truth once a tenth is done,
// pauses must not count, and it is shown only after a few seconds. A run that ends with a
// flush copies small files into the page cache at their per-file cost alone and writes
// their bytes in that flush, while large ones go at the disk's pace.
TEST(RunFigures, TimeLeftFollowsAMixedRunAndLeavesPausesOut) {
    struct TCase {
        const char* Name;
        double PerFile, PerByte; // seconds
        int SmallFiles;
        int64_t SmallSize;
        int LargeFiles;
        int64_t LargeSize;
        bool Flushes;
    };
    const TCase cases[] = {
        {"small files first", 0.002, 1e-9, 4000, 4096, 4, 2LL << 30, false},
        {"network share", 0.02, 1e-8, 500, 65536, 2, 200LL << 20, false},
        {"a disk, flushed at the end", 1e-4, 1e-8, 20000, 8192, 4, 512LL << 20, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TProgressChannel channel;
        TRunCounters& counters = channel.Run;
        counters.LinesLeft = c.SmallFiles + c.LargeFiles;
        counters.BytesKnown = c.SmallFiles * c.SmallSize + c.LargeFiles * c.LargeSize;
        counters.Counting = true;
        counters.Active = true;
        counters.Flushes = c.Flushes;
        // The copies' data phases say what a byte costs.
        channel.DataBytes = 1 << 20;
        channel.DataNanos = int64_t(c.PerByte * 1e9 * double(1 << 20));
        int64_t unwritten = 0; // what the page cache holds for the flush
        TRunFiguresMeter meter(channel, [&] { return std::optional<int64_t>(unwritten); });
        auto now = std::chrono::system_clock::time_point(1000s);
        ASSERT_FALSE(meter.Update(now)); // the first look starts the run's clock

        // The files in order; each second the "disk" gets through as much as it can.
        std::vector<int64_t> sizes(size_t(c.SmallFiles), c.SmallSize);
        // The large files come in the middle of the small ones, as a directory lists them.
        sizes.insert(sizes.begin() + c.SmallFiles / 2, size_t(c.LargeFiles), c.LargeSize);
        // What a file costs while it is copied; a small file's bytes wait for the flush.
        const auto cached = [&](int64_t size) { return c.Flushes && size < (1 << 20); };
        const auto cost = [&](int64_t size) {
            return c.PerFile + (cached(size) ? 0.0 : c.PerByte * double(size));
        };
        double total = 0;
        for (int64_t s : sizes)
            total += cost(s) + (cached(s) ? c.PerByte * double(s) : 0.0);
        size_t next = 0;
        double carried = 0, elapsed = 0, worst = 0;
        int shownAfter = -1, percent = 0;
        for (int second = 1; next < sizes.size(); ++second) {
            if (second == 5) {
                // Ten seconds of pause: nothing moves, and they do not count.
                counters.Active = false;
                for (int i = 0; i < 10; ++i) {
                    now += 1s;
                    meter.Update(now);
                }
                counters.Active = true;
            }
            double budget = 1.0 + carried;
            while (next < sizes.size()) {
                if (cost(sizes[next]) > budget) {
                    // A large file moves part of its bytes this second.
                    const int64_t part = int64_t(std::max(0.0, budget - c.PerFile) / c.PerByte);
                    if (part > 0 && part < sizes[next]) {
                        channel.BytesMoved += part;
                        channel.BytesPaced += part;
                        sizes[next] -= part;
                        budget = 0;
                    }
                    break;
                }
                budget -= cost(sizes[next]);
                if (cached(sizes[next]))
                    unwritten += sizes[next];
                channel.BytesMoved += sizes[next];
                channel.BytesPaced += sizes[next];
                ++counters.FilesFinished;
                ++counters.LinesDone;
                --counters.LinesLeft;
                ++next;
            }
            carried = budget;
            elapsed += 1.0;
            now += 1s;
            std::optional<TRunFigures> f = meter.Update(now);
            ASSERT_TRUE(f);
            EXPECT_NEAR(f->ActiveSeconds, elapsed, 1e-6);
            EXPECT_GE(f->Percent, percent) << "the share went back at " << second << " s";
            EXPECT_LE(f->Percent, 99);
            percent = f->Percent;
            if (f->SecondsLeft && shownAfter < 0)
                shownAfter = second;
            const double truth = total - elapsed;
            if (f->SecondsLeft && elapsed >= total / 10 && truth > 3)
                worst = std::max(worst, std::abs(*f->SecondsLeft - truth) / truth);
        }
        EXPECT_GE(shownAfter, 3);
        EXPECT_LT(worst, 0.25) << "time left off by " << worst * 100 << " %";
    }
}

// A run onto a disk that writes 30 MiB/s behind a page cache that takes 200 MiB/s until
// it holds 100 MiB: small files first (they go into the cache at their per-file cost), then
// a large file (paced by the disk once the cache is full), then the wait for the rest to
// reach the disk, with a pause in the middle. What the device has written is its own count.
// The time left must follow the disk, not the cache, through every phase: no estimate
// while many files are to go and none has finished, near the truth later, never "0 s"
// while the disk still has seconds of work; the share only moves forward, below 100 %;
// a pause stops the clock.
TEST(RunFigures, TheTimeLeftFollowsTheDiskThroughEveryPhase) {
    constexpr double Step = 0.05, Rate = 30.0 * (1 << 20), CacheRate = 200.0 * (1 << 20);
    constexpr int64_t CacheHolds = int64_t(100) << 20;
    constexpr int SmallFiles = 2000;
    constexpr int64_t SmallSize = 64 << 10, LargeSize = int64_t(300) << 20;
    constexpr double PerFile = 0.001;
    constexpr dev_t Disk = 0x801;
    struct TCase {
        const char* Name;
        bool LargeFirst, WithPause;
    };
    for (const TCase& k :
         {TCase{"small files first", false, false}, TCase{"the large file first", true, false},
          TCase{"paused at 4 s for 5 s", false, true}}) {
        SCOPED_TRACE(k.Name);
        const bool withPause = k.WithPause;
        TProgressChannel channel;
        TRunCounters& c = channel.Run;
        c.LinesLeft = SmallFiles + 1;
        c.BytesKnown = SmallFiles * SmallSize + LargeSize;
        c.Counting = true;
        c.Active = true;
        c.Flushes = true;
        channel.Devices.Add(Disk);
        double onDisk = 1e9; // the device's count before the run
        TRunFiguresMeter meter(
            channel, [] { return std::optional<int64_t>(int64_t(1) << 40); }, // others' writes
            [&](dev_t device) {
                return device == Disk ? std::optional<int64_t>(int64_t(onDisk)) : std::nullopt;
            });
        auto now = std::chrono::system_clock::time_point(1000s);
        meter.Update(now);

        // Play the run in steps, the figures shown as the monitor would show them.
        struct TShown {
            double At, Unwritten;
            TRunFigures Figures;
        };
        std::vector<TShown> shown;
        double t = 0, moved = 0, written = 0, fileLeft = PerFile, largeLeft = double(LargeSize);
        int small = 0;
        bool paused = false;
        while (small < SmallFiles || largeLeft > 0 || written < moved) {
            paused = withPause && t >= 4 && t < 9;
            c.Active = !paused;
            if (!paused) {
                double budget = Step;
                const auto moveLarge = [&] {
                    if (largeLeft <= 0 || budget <= 0)
                        return;
                    // Into the cache as fast as it takes it, then at the disk's pace.
                    const double room = std::max(0.0, double(CacheHolds) - (moved - written));
                    const double rate = room > 0 ? CacheRate : Rate;
                    const double part = std::min(largeLeft, rate * budget);
                    budget -= part / rate;
                    moved += part;
                    largeLeft -= part;
                    channel.BytesMoved += int64_t(part);
                    channel.BytesPaced += int64_t(part);
                    if (largeLeft <= 0) {
                        ++c.FilesFinished;
                        ++c.LinesDone;
                        --c.LinesLeft;
                    }
                };
                if (k.LargeFirst)
                    moveLarge();
                while (small < SmallFiles && budget > 0 && (largeLeft <= 0 || !k.LargeFirst)) {
                    const double spent = std::min(budget, fileLeft);
                    budget -= spent;
                    fileLeft -= spent;
                    if (fileLeft <= 0) {
                        moved += SmallSize;
                        channel.BytesMoved += SmallSize;
                        channel.BytesPaced += SmallSize;
                        ++small;
                        ++c.FilesFinished;
                        ++c.LinesDone;
                        --c.LinesLeft;
                        fileLeft = PerFile;
                    }
                }
                if (small == SmallFiles)
                    moveLarge();
            }
            // The disk writes all along, pause or not.
            const double wrote = std::min(moved - written, Rate * Step);
            written += wrote;
            onDisk += wrote;
            t += Step;
            now += std::chrono::milliseconds(50);
            if (std::optional<TRunFigures> f = meter.Update(now))
                shown.push_back({t, moved - written, *f});
        }
        const double total = t;
        ASSERT_GT(shown.size(), 40u);

        int percent = 0, estimates = 0;
        std::vector<double> errors;
        std::optional<double> beforePause;
        for (const TShown& s : shown) {
            const TRunFigures& f = s.Figures;
            EXPECT_GE(f.Percent, percent) << "the share went back at " << s.At << " s";
            EXPECT_LE(f.Percent, 99) << s.At << " s";
            percent = f.Percent;
            if (f.LinesDone == 0) {
                EXPECT_FALSE(f.SecondsLeft) << "a guess before any file finished, at " << s.At;
            }
            if (s.Unwritten >= 2 * Rate && f.SecondsLeft) {
                EXPECT_GE(*f.SecondsLeft, 1.0)
                    << s.Unwritten / (1 << 20) << " MiB to write at " << s.At << " s";
            }
            if (withPause && s.At >= 4.5 && s.At < 9) {
                // Paused: the clock stands still, whatever the disk does meanwhile.
                ASSERT_TRUE(f.SecondsLeft);
                if (!beforePause)
                    beforePause = f.SecondsLeft;
                EXPECT_EQ(*f.SecondsLeft, *beforePause) << s.At << " s";
            }
            if (withPause && s.At >= 9 && s.At < 9.3 && beforePause) {
                // Resumed: the figure goes on from where it stood, without a jump.
                ASSERT_TRUE(f.SecondsLeft);
                EXPECT_NEAR(*f.SecondsLeft, *beforePause, 0.5) << s.At << " s";
            }
            // (The disk wrote during the pause: the estimate then comes down to the truth
            // over a few seconds, as it should, rather than at once.)
            const double truth = total - s.At;
            if (f.SecondsLeft && s.At >= total / 10 && truth > 3 && !withPause) {
                ++estimates;
                errors.push_back(std::abs(*f.SecondsLeft - truth) / truth);
            }
        }
        if (withPause)
            continue;
        ASSERT_GT(estimates, 10);
        std::sort(errors.begin(), errors.end());
        EXPECT_LT(errors[errors.size() / 2], 0.25) << "median error";
        EXPECT_LT(errors[errors.size() * 9 / 10], 0.6) << "90th percentile";
    }
}

// The figures of a real run held at its second line: every waiting line counted, the bytes
// of files known (those in a directory once it is expanded), nothing counted twice.
TEST_F(TEngineTest, ARunCountsItsLinesAndBytes) {
    MakeDir(P("out"));
    MakeDir(P("dir"));
    WriteFile(P("a"), std::string(1000, 'a'));
    WriteFile(P("dir/b"), std::string(300, 'b'));
    WriteFile(P("dir/c"), std::string(20, 'c'));
    AddPair(P("dir"), P("out"), true);
    AddPair(P("a"), P("out"));
    const TRunCounters& c = run.Progress.Run;
    std::vector<std::string> seen;
    run.Seams.OnRunPoint = [&](TRunPoint point, const std::string& path) {
        if (point != TRunPoint::LineReached)
            return;
        seen.push_back(path + ": " + std::to_string(c.LinesDone) + " done, " +
                       std::to_string(c.LinesLeft) + " left, " + std::to_string(c.DirsLeft) +
                       " dirs, " + std::to_string(c.BytesKnown) + " bytes");
    };
    RunToEnd();
    run.Seams.OnRunPoint = nullptr;
    ASSERT_EQ(seen.size(), 4u);
    // Before the directory is expanded only the file beside it has known bytes.
    EXPECT_EQ(seen[0], P("dir") + ": 0 done, 2 left, 1 dirs, 1000 bytes");
    // Its two files came in with their sizes (in the order the directory lists them).
    EXPECT_EQ(seen[1].substr(seen[1].find(':')), ": 1 done, 3 left, 0 dirs, 1320 bytes");
    EXPECT_EQ(c.LinesDone, 4);
    EXPECT_EQ(c.LinesLeft, 0);
    EXPECT_EQ(run.Progress.BytesMoved, 1320);
}

// What a run wrote is flushed before its end is told, through a directory on each file
// system it wrote to; "Writing to disk…" shows while that takes, Abort ends the wait (not
// the writing), and a run aborted before its end or told not to flush does not flush.
TEST_F(TEngineTest, WhatARunWroteIsOnTheDiskBeforeItEnds) {
    MakeDir(P("out"));
    WriteFile(P("f"), "data");
    AddPair(P("f"), P("out"));
    // The flush goes on on its own thread after an Abort: what it uses outlives the test.
    struct TFlushSeam {
        std::atomic<int> Flushes{0};
        TEvent Release{false}, Returned{false};
    };
    auto seam = std::make_shared<TFlushSeam>();
    run.Seams.FlushFileSystem = [seam, &events = events](int) {
        ++seam->Flushes;
        events.Tell({TRunEvent::FileStarted, nullptr, "flush"});
        seam->Release.Wait();
        seam->Returned.Set();
        return 0;
    };
    control.StartPauseResume();
    ASSERT_TRUE(events.WaitFor("writing to disk"));
    EXPECT_EQ(control.CopyWorker()->Finished(), false); // the buttons still say it runs
    control.Abort();                                    // ends the wait
    WaitForRunEnd();
    seam->Release.Set();
    seam->Returned.Wait();
    EXPECT_EQ(seam->Flushes, 1);
    const std::vector<std::string> ev = events.Events();
    ASSERT_GE(ev.size(), 3u);
    EXPECT_EQ(ev[ev.size() - 3], "started flush");
    EXPECT_EQ(ev[ev.size() - 2], "writing to disk");
    EXPECT_EQ(ev.back(), "ended aborted");

    q.lstCopyFrom.SetSelected(q.lstCopyFrom.FirstNode(), true);
    q.ResetCopyStatus();
    WriteFile(P("g"), "more");
    AddPair(P("g"), P("out"));
    run.Seams.OnRunPoint = [&](TRunPoint point, const std::string& path) {
        if (point == TRunPoint::LineReached && path == P("g"))
            control.Abort(); // after f was copied
    };
    RunToEnd();
    run.Seams.OnRunPoint = nullptr;
    EXPECT_EQ(events.Events().back(), "ended aborted, 1 not reached");
    EXPECT_EQ(seam->Flushes, 1);

    run.Settings.FlushAtEnd = false;
    RunToEnd();
    EXPECT_EQ(seam->Flushes, 1);
    EXPECT_EQ(events.Events().back(), "ended");
}

// Every file system the run wrote to is flushed before the run says it is done, the
// second as well as the first, files and folders alike.
TEST_F(TEngineTest, EveryFileSystemWrittenIsFlushed) {
    TMountedTmpfs stick(P("stick"), "size=4m");
    if (!stick.Mounted())
        GTEST_SKIP() << "a second file system needs root to mount";
    MakeDir(P("out"));
    MakeDir(P("tree"));
    WriteFile(P("f"), "f");
    WriteFile(P("tree/g"), "g");
    AddPair(P("f"), P("out"));
    AddPair(P("tree"), P("stick"), true);
    auto flushed = std::make_shared<std::mutex>();
    auto devices = std::make_shared<std::set<dev_t>>();
    run.Seams.FlushFileSystem = [flushed, devices](int fd) {
        struct stat st;
        if (::fstat(fd, &st) == 0) {
            std::lock_guard lock(*flushed);
            devices->insert(st.st_dev);
        }
        return 0;
    };
    for (int workers : {1, 4}) {
        SCOPED_TRACE(workers);
        run.Settings.Workers = workers;
        devices->clear();
        RunToEnd();
        struct stat out, onStick;
        ASSERT_EQ(::stat(P("out").c_str(), &out), 0);
        ASSERT_EQ(::stat(P("stick").c_str(), &onStick), 0);
        std::lock_guard lock(*flushed);
        EXPECT_EQ(*devices, (std::set<dev_t>{out.st_dev, onStick.st_dev}));
        q.lstCopyFrom.SetSelected(q.lstCopyFrom.FirstNode(), true);
        q.lstCopyFrom.SetSelected(q.lstCopyFrom.NodeAt(1), true);
        q.ResetCopyStatus();
    }
}

} // namespace
