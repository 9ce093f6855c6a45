// The whole run as a user meets it, through ferrox-run:
//  1. "done" means on the disk: ferrox-run (which flushes what it wrote before it ends)
//     against `cp` followed by `sync`, for one large file and a tree of 20,000 files,
//     alternating who goes first; each copy into a fresh directory;
//  2. the time left: a mixed queue (thousands of small files, a few large ones) copied by
//     the engine with a monitor; at each moment the run showed a time left, it is compared
//     with the time the run really took from there, once a tenth of the run was done;
//  3. verified copies: ferrox-run --verify against ferrox-run without it (both end with
//     everything on the disk), for the large file and the tree, alternating.
//
//   run_bench [--dir DIR] [--rounds N] [--big-mib N] [--skip-flush] [--skip-time-left]
//             [--skip-verify] [--timeline]
// The time left is only as steady as the device: a virtual disk whose host caches writes
// swings between runs. A loop device throttled to a fixed write rate stands in for a steady
// disk (blkio.throttle.write_bps_device) when the estimate itself is what is measured.
#include "bench/BenchSupport.h"
#include "bench/TimeLeftCases.h"
#include "diag/Trace.h"
#include "engine/RunControl.h"
#include "engine/progress/ProgressMonitor.h"

#include <cmath>
#include <cstring>
#include <mutex>
#include <sys/sysmacros.h>

using namespace ferrox;
using namespace ferrox::bench;

namespace {

double TimeShell(const std::string& cmd) {
    auto start = Clock::now();
    Shell(cmd);
    return Seconds(start);
}

void WriteQueue(const std::string& file, const std::string& source, bool isDir,
                const std::string& dest) {
    WriteText(file, std::string("[Queue]\r\nFROM-1=") + (isDir ? "D:" : "F:") + source +
                        "\r\nTO-1=" + dest + "\r\nDONE-1=0\r\nMOVE-1=0\r\n");
}

// One ferrox-run of a queue of one line into a fresh directory; its seconds.
double FerroxRun(const std::string& work, const std::string& name, const std::string& source,
                 bool isDir, const std::string& flags) {
    const std::string dest = work + "/fx" + name;
    ::mkdir(dest.c_str(), 0755);
    WriteQueue(work + "/q" + name + ".ini", source, isDir, dest);
    return TimeShell("cd '" + work + "' && " + std::string(FERROX_RUN_PATH) + " -q " + flags +
                     " '" + work + "/q" + name + ".ini' >/dev/null");
}

// Rounds of `first` against `second`, alternating who goes first, each after a sync; prints
// each round and the median ratio second/first.
template <class TFirst, class TSecond>
void Compare(int rounds, const char* firstName, TFirst first, const char* secondName,
             TSecond second, const char* goal) {
    std::vector<double> a, b, ratios;
    for (int r = 0; r < rounds; ++r) {
        const std::string n = std::to_string(r);
        double x, y;
        Shell("sync");
        if (r % 2 == 0) {
            x = first(n);
            Shell("sync");
            y = second(n);
        } else {
            y = second(n);
            Shell("sync");
            x = first(n);
        }
        a.push_back(x);
        b.push_back(y);
        ratios.push_back(y / x);
        std::printf("   round %d: %s %.3f s, %s %.3f s, ratio %.3f\n", r + 1, firstName, x,
                    secondName, y, y / x);
    }
    std::printf("   median: %s %.3f s, %s %.3f s, ratio %.3f (min %.3f, max %.3f; goal %s)\n",
                firstName, Median(a), secondName, Median(b), Median(ratios),
                *std::min_element(ratios.begin(), ratios.end()),
                *std::max_element(ratios.begin(), ratios.end()), goal);
}

void FlushCase(const std::string& work, const std::string& name, const std::string& source,
               bool isDir, int rounds) {
    Compare(
        rounds, "cp+sync",
        [&](const std::string& n) {
            ::mkdir((work + "/cp" + name + n).c_str(), 0755);
            return TimeShell("cp -r '" + source + "' '" + work + "/cp" + name + n + "/' && sync");
        },
        "ferrox-run",
        [&](const std::string& n) { return FerroxRun(work, name + n, source, isDir, ""); },
        "<= 1.05");
}

void VerifyCase(const std::string& work, const std::string& name, const std::string& source,
                bool isDir, int rounds, const char* goal) {
    Compare(
        rounds, "ferrox-run",
        [&](const std::string& n) {
            return FerroxRun(work, "plain" + name + n, source, isDir, "");
        },
        "ferrox-run --verify",
        [&](const std::string& n) {
            return FerroxRun(work, "verified" + name + n, source, isDir, "--verify");
        },
        goal);
}

// Keeps what the monitor showed, with when it showed it.
struct TShownTimes : IProgressSink, IRunEventSink {
    void Tell(const TRunEvent&) override {}
    std::mutex Mutex;
    std::vector<std::pair<double, TRunFigures>> Shown; // seconds since the start
    Clock::time_point Start = Clock::now();
    void ShowProgress(const TProgressShown& shown) override {
        if (!shown.Figures)
            return;
        std::lock_guard lock(Mutex);
        Shown.emplace_back(Seconds(Start), *shown.Figures);
    }
};

// One run of the queue with the run's own monitor: the time left shown, each time it was
// shown, against the time the run really took from there; and the share shown, which must
// only grow (but where a folder's expansion added to what is left) and not reach 100 %
// before the end.
void TimeLeftCase(const std::string& work, const std::string& dest,
                  const std::vector<TQueueLine>& lines, bool timeline) {
    const auto sources = MakeSources(work, lines);
    TCopyQueue q;
    TRunState run;
    TRunControl control(q, run);
    TShownTimes shown;
    TProgressMonitor monitor(run.Progress, shown, shown);
    monitor.Start();
    ::mkdir(dest.c_str(), 0755);
    for (const auto& [source, folder] : sources) {
        q.AddItem(q.lstCopyFrom, source, false, folder ? lsDirWaiting : lsFileWaiting);
        q.AddItem(q.lstCopyTo, dest, false, lsDirWaiting);
    }
    shown.Start = Clock::now();
    control.StartPauseResume();
    control.CopyWorker()->WaitFor();
    const double total = Seconds(shown.Start);
    control.ReleaseWorker();
    monitor.Stop();

    std::vector<TShownLeft> left;
    for (const auto& [at, f] : shown.Shown)
        left.push_back({at, f.Percent, f.SecondsLeft, f.BytesLeftAtLeast});
    ReportTimeLeft(left, total, timeline, [&](size_t i) {
        const TRunFigures& f = shown.Shown[i].second;
        char text[160];
        std::snprintf(text, sizeof text,
                      "lines %ld done, %ld left; %lld MiB done (%lld MiB of it not on the disk), "
                      "%lld MiB left",
                      f.LinesDone, f.LinesLeft, static_cast<long long>(f.BytesDone >> 20),
                      static_cast<long long>(f.BytesUnwritten >> 20),
                      static_cast<long long>(f.BytesLeft >> 20));
        return std::string(text);
    });
    Shell("rm -rf '" + dest + "' '" + work + "'/src*");
}

} // namespace

int main(int argc, char** argv) {
    TArgs args(argc, argv);
    const std::string base = args.Text("--dir", DefaultWorkBase());
    const int rounds = int(args.Number("--rounds", 3));
    const int bigMiB = int(args.Number("--big-mib", 1024));
    const bool skipFlush = args.Flag("--skip-flush");
    const bool skipTimeLeft = args.Flag("--skip-time-left");
    const bool timeline = args.Flag("--timeline"); // each half second of the time left
    const bool skipVerify = args.Flag("--skip-verify");
    if (!args.Done())
        return 2;
    // Line by line, so a run piped into a file or `tee` shows how far it got.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string work = base + "/ferrox-run-bench-XXXXXX";
    if (!::mkdtemp(work.data()))
        Fail("mkdtemp");
    TraceCreate();
    std::printf("work directory: %s\n", work.c_str());
    const std::string big = work + "/big.bin";
    if (!skipFlush || !skipVerify) {
        Shell("head -c " + std::to_string(int64_t(bigMiB) << 20) + " /dev/urandom > '" + big + "'");
        MakeTree(work + "/tree", 200, 100, 4096);
        Shell("sync");
    }
    if (!skipFlush) {
        std::printf("\n1. on the disk before it ends: one file of %d MiB\n", bigMiB);
        FlushCase(work, "big", big, false, rounds);
        std::printf("\n   a tree of 20,000 files of 4 KiB\n");
        FlushCase(work, "tree", work + "/tree", true, rounds);
    }
    if (!skipTimeLeft) {
        for (const TDiskCase& c : TimeLeftCases()) {
            std::printf("\n2. time left: %s\n", c.What);
            TThrottledDisk disk(work, "disk", int64_t(3) << 30, int64_t(c.MiBPerSecond) << 20,
                                c.Rotating);
            if (!disk.Missing().empty()) {
                std::printf("   skipped: needs %s\n", disk.Missing().c_str());
                continue;
            }
            TimeLeftCase(work, disk.Path() + "/out", c.Lines, timeline);
        }
    }
    if (!skipVerify) {
        std::printf("\n3. verified copies: one file of %d MiB\n", bigMiB);
        VerifyCase(work, "big", big, false, rounds, "<= 2.2");
        std::printf("\n   a tree of 20,000 files of 4 KiB\n");
        VerifyCase(work, "tree", work + "/tree", true, rounds, "<= 1.5");
    }
    Shell("rm -rf '" + work + "'");
    return 0;
}
