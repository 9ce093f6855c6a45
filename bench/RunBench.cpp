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

// A file system on a loop device whose writes are held at a fixed rate (the cgroup v1
// blkio throttle), rotating or not: a steady disk, so that the time left is measured and not
// the host's cache. Needs root and loop devices; Missing() says what is missing. Everything
// is undone at the end.
class TThrottledDisk {
public:
    TThrottledDisk(const std::string& work, const std::string& name, int64_t bytes,
                   int64_t bytesPerSecond, bool rotating)
        : image_(work + "/" + name + ".img"), mount_(work + "/" + name) {
        if (::geteuid() != 0) {
            missing_ = "root";
            return;
        }
        if (::access("/sys/fs/cgroup/blkio/blkio.throttle.write_bps_device", W_OK) != 0) {
            missing_ = "the cgroup v1 blkio throttle";
            return;
        }
        if (std::system(("truncate -s " + std::to_string(bytes) + " '" + image_ +
                         "' && mkfs.ext4 -q -F '" + image_ + "' >/dev/null 2>&1")
                            .c_str()) != 0) {
            missing_ = "mkfs.ext4";
            return;
        }
        FILE* out = ::popen(("losetup -f --show '" + image_ + "' 2>/dev/null").c_str(), "r");
        char line[128] = {};
        if (out && std::fgets(line, sizeof line, out))
            device_ = std::string(line, std::strcspn(line, "\n"));
        if (out)
            ::pclose(out);
        struct stat st;
        if (device_.empty() || ::stat(device_.c_str(), &st) != 0) {
            missing_ = "a free loop device";
            return;
        }
        node_ = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
        ::mkdir(mount_.c_str(), 0755);
        if (std::system(("mount '" + device_ + "' '" + mount_ + "'").c_str()) != 0) {
            missing_ = "a mount of the loop device";
            return;
        }
        mounted_ = true;
        WriteText("/sys/block/" + device_.substr(5) + "/queue/rotational", rotating ? "1" : "0");
        WriteText("/sys/fs/cgroup/blkio/blkio.throttle.write_bps_device",
                  node_ + " " + std::to_string(bytesPerSecond));
    }
    ~TThrottledDisk() {
        if (!node_.empty())
            std::system(("echo '" + node_ +
                         " 0' > /sys/fs/cgroup/blkio/"
                         "blkio.throttle.write_bps_device 2>/dev/null")
                            .c_str());
        if (mounted_)
            std::system(("umount '" + mount_ + "' || umount -l '" + mount_ + "'").c_str());
        if (!device_.empty())
            std::system(("losetup -d '" + device_ + "' 2>/dev/null").c_str());
        ::unlink(image_.c_str());
    }
    TThrottledDisk(const TThrottledDisk&) = delete;
    TThrottledDisk& operator=(const TThrottledDisk&) = delete;

    const std::string& Missing() const { return missing_; }
    const std::string& Path() const { return mount_; }

private:
    std::string image_, mount_, device_, node_, missing_;
    bool mounted_ = false;
};

// The queues the time left is measured on: lines of large files and folders of small ones,
// in their order.
struct TQueueLine {
    bool Folder;
    int Files;     // a folder's files, in folders of 100
    int64_t Bytes; // each
};

// Makes the queue's sources under `work`, its lines into `dest`; the source paths.
std::vector<std::pair<std::string, bool>> MakeSources(const std::string& work,
                                                      const std::vector<TQueueLine>& lines) {
    std::vector<std::pair<std::string, bool>> sources;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string path = work + "/src" + std::to_string(i);
        if (lines[i].Folder) {
            MakeTree(path, (lines[i].Files + 99) / 100, std::min(100, lines[i].Files),
                     size_t(lines[i].Bytes));
        } else {
            Shell("head -c " + std::to_string(lines[i].Bytes) + " /dev/urandom > '" + path + "'");
        }
        sources.emplace_back(path, lines[i].Folder);
    }
    // Read once, so the source's disk is not what is measured.
    Shell("cat $(find '" + work + "' -type f -path '*/src*') >/dev/null");
    return sources;
}

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

    std::vector<double> errors;
    double lastPrinted = -1;
    int backwards = 0, backwardsAtLeast = 0, lastPercent = 0, full = 0;
    for (const auto& [at, f] : shown.Shown) {
        if (f.Percent < lastPercent)
            ++(f.BytesLeftAtLeast ? backwardsAtLeast : backwards);
        lastPercent = f.Percent;
        full += f.Percent >= 100 && total - at > 0.5;
        if (timeline && at - lastPrinted >= 0.5) {
            lastPrinted = at;
            std::printf(
                "   at %5.1f s: %5.1f s left, shown %s; %3d %%; lines %ld done, %ld left; "
                "%lld MiB done, %lld MiB left%s\n",
                at, total - at,
                f.SecondsLeft ? (std::to_string(int(*f.SecondsLeft)) + " s").c_str() : "none",
                f.Percent, f.LinesDone, f.LinesLeft, static_cast<long long>(f.BytesDone >> 20),
                static_cast<long long>(f.BytesLeft >> 20), f.BytesLeftAtLeast ? " (at least)" : "");
        }
        const double left = total - at;
        if (!f.SecondsLeft || at < total / 10 || left < 3)
            continue;
        errors.push_back(std::abs(*f.SecondsLeft - left) / left);
    }
    std::printf("   the run took %.1f s; %zu estimates after a tenth of it with 3 s or more left\n",
                total, errors.size());
    if (!errors.empty())
        std::printf("   error of the time left: median %.0f %% (goal <= 25 %%), 90th percentile "
                    "%.0f %% (goal <= 60 %%), worst %.0f %%\n",
                    Median(errors) * 100, Quantile(errors, 0.9) * 100,
                    *std::max_element(errors.begin(), errors.end()) * 100);
    std::printf("   the share went backwards %d times (goal 0), %d more while a folder's "
                "expansion added to what is left; it showed 100 %% before the end %d times\n",
                backwards, backwardsAtLeast, full);
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
        // A large file, a folder of small ones, two more large ones (a user's mixed queue);
        // three large files and 5,000 small ones in folders between them.
        const std::vector<TQueueLine> mixed = {{false, 1, 160 << 20},
                                               {true, 3000, 32 << 10},
                                               {false, 1, 160 << 20},
                                               {false, 1, 160 << 20}};
        const std::vector<TQueueLine> window = {{false, 1, 300'000'000},
                                                {false, 1, 300'000'000},
                                                {true, 5000, 16 << 10},
                                                {false, 1, 300'000'000}};
        struct TDiskCase {
            const char* What;
            const std::vector<TQueueLine>& Lines;
            int MiBPerSecond;
            bool Rotating;
        };
        for (const TDiskCase& c :
             {TDiskCase{"the mixed queue, a rotating disk at 30 MiB/s", mixed, 30, true},
              {"the mixed queue, a solid-state disk at 30 MiB/s", mixed, 30, false},
              {"large files and small ones, a disk at 20 MiB/s", window, 20, false}}) {
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
