// The copy engine against cp, measured in the same run on the same file system:
//  1. one large file (default 256 MiB): DoFileCopy against `cp`, alternating runs;
//  2. a tree of 20,000 files of 4 KiB in 200 directories, queued as one directory line:
//     the whole run (expansion, lines, statuses, trace, progress records, monitor) against
//     `cp -r`, alternating runs;
//  3. (--long) a tree of 200,000 small files on the disk: time per file against the
//     20,000-file tree, and the peak memory per line;
//  4. on tmpfs (where the disk costs nothing and our own cost shows): 20,000 files of
//     512 B in 200 directories, one directory line, against `cp -r --preserve=mode,
//     timestamps` (the same work: mode and times kept) and `rsync -a` when installed,
//     rotating who goes first, beside cp's steps alone in this process (BareCopy) with each
//     file made under its name and through an unnamed file: what the unnamed file costs by
//     itself, and what the run adds to it; then the system calls per file of each, under
//     `strace -c -f` when strace is installed;
//  5. (--long) one directory of 60,000 files of 100 B (--dir, ext4 here), one directory
//     line, against `cp -r`: the CPU time of each whole process (user + system: the file
//     system's own work per file, which the disk's stalls do not blur) beside the wall
//     time, alternating runs, and the CPU time of cp's steps alone (BareCopy, both ways);
//     then rounds right after a large delete. On ext4 without a
//     journal (/tmp here) the kernel passes over inodes freed in the last minute (five
//     while their table block is dirty), starting from the group's first inode for every
//     new file: the first copy after a large delete pays for it, whichever program it is.
//     So each contender gets the same: a pause until earlier deletions no longer count, a
//     delete of 60,000 files, its copy.
//  6. on tmpfs, each kind of entry (empty files, files of 512 B, symbolic links, files
//     skipped as existing): the time per entry at 200,000 against 20,000 (a run that grows
//     slower per file as it goes has a list that grows with it), and against `cp -r`.
// Every copy goes into a fresh directory; the work directories go when the benchmark ends,
// however it ends (a child process runs it, the parent removes them).
//
//   engine_bench [--dir DIR] [--tmpfs DIR] [--big-mib N] [--rounds N] [--long]
//                [--skip-large] [--skip-tree] [--skip-tmpfs] [--skip-kinds]
//                [--kind-files N] [--flat-files N] [--delete-rounds N]
//   engine_bench --tree-once SOURCE DEST   (one run of one directory line, for strace)
#include "bench/BenchSupport.h"
#include "diag/Trace.h"
#include "engine/LineCopy.h"
#include "engine/RunControl.h"
#include "engine/progress/ProgressMonitor.h"
#include "platform/Fd.h"
#include "platform/FileSystem.h"
#include "platform/UnnamedFile.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ferrox;
using namespace ferrox::bench;

namespace {

struct TNullUi : IProgressSink, IRunEventSink {
    std::atomic<int64_t> last{0};
    void ShowProgress(const TProgressShown& shown) override {
        if (shown.File)
            last.store(shown.File->Done, std::memory_order_relaxed);
    }
    void Tell(const TRunEvent&) override {}
};

double TimeShell(const std::string& cmd) {
    auto start = Clock::now();
    Shell(cmd);
    return Seconds(start);
}

// One whole run of a queue holding a single directory line, its progress monitor
// included.
double RunTree(const std::string& source, const std::string& dest,
               TExistingTargets existing = TExistingTargets::Overwrite) {
    TCopyQueue q;
    TRunState run;
    run.Settings.ExistingTargets = existing;
    // Against cp, which leaves its data to the kernel's writeback too; run_bench measures
    // the flush at the end against cp followed by sync.
    run.Settings.FlushAtEnd = false;
    TRunControl control(q, run);
    TNullUi ui;
    TProgressMonitor monitor(run.Progress, ui, ui);
    monitor.Start();
    ::mkdir(dest.c_str(), 0755);
    q.AddItem(q.lstCopyFrom, source, false, lsDirWaiting);
    q.AddItem(q.lstCopyTo, dest, false, lsDirWaiting);
    auto start = Clock::now();
    control.StartPauseResume();
    // Joined, not polled: a poll would add its own wake-ups to the figures.
    control.CopyWorker()->WaitFor();
    double s = Seconds(start);
    control.ReleaseWorker();
    monitor.Stop();
    return s;
}

// The steps cp -p takes for a tree and nothing else: directories made, each file's content
// copied with its mode and times. The new file is made either under its name, as cp makes
// it, or unnamed and linked under its name once complete (LinkUnnamed), as a run makes it,
// so that no file stands half-written under a target's name. Between the two lies what
// writing through an unnamed file costs by itself on this file system: a floor under any
// run, whatever its own bookkeeping costs.
void BareCopyDir(int from, int to, bool unnamed) {
    DIR* dir = ::fdopendir(::dup(from));
    if (!dir)
        Fail("cannot read a directory to copy");
    while (const dirent* e = ::readdir(dir)) {
        const char* name = e->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        struct stat st;
        if (::fstatat(from, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            Fail(std::string("cannot look at ") + name);
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (S_ISDIR(st.st_mode)) {
            if (::mkdirat(to, name, 0700) != 0)
                Fail(std::string("cannot make ") + name);
            TFd in(::openat(from, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            TFd out(::openat(to, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            BareCopyDir(in.Get(), out.Get(), unnamed);
            ::fchmod(out.Get(), st.st_mode & 07777);
            ::futimens(out.Get(), times);
            continue;
        }
        if (!S_ISREG(st.st_mode))
            continue;
        const mode_t mode = st.st_mode & 0777;
        TFd in(::openat(from, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        TFd out(unnamed ? ::openat(to, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode)
                        : ::openat(to, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (!in || !out)
            Fail(std::string("cannot copy ") + name);
        ssize_t copied;
        while ((copied = ::copy_file_range(in.Get(), nullptr, out.Get(), nullptr, 1 << 30, 0)) >
               0) {
        }
        if (copied < 0)
            Fail(std::string("cannot copy the content of ") + name);
        ::futimens(out.Get(), times);
        if (unnamed && LinkUnnamed(out.Get(), to, name) != 0)
            Fail(std::string("cannot name ") + name);
    }
    ::closedir(dir);
}

// source copied into the new directory dest by BareCopyDir: its seconds.
double BareCopy(const std::string& source, const std::string& dest, bool unnamed) {
    auto start = Clock::now();
    if (::mkdir(dest.c_str(), 0755) != 0)
        Fail("cannot make " + dest);
    TFd from(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    TFd to(::open(dest.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!from || !to)
        Fail("cannot open " + source + " or " + dest);
    BareCopyDir(from.Get(), to.Get(), unnamed);
    return Seconds(start);
}

// Rounds of cp against Ferrox; who goes first alternates, so neither always meets the
// other's writeback. Each function gets the round number and returns seconds.
struct TRounds {
    std::vector<double> Cp, Ours, Ratios;
};

template <class TCp, class TOurs>
TRounds Alternate(int rounds, const char* cpName, TCp cp, TOurs ours) {
    TRounds out;
    for (int r = 0; r < rounds; ++r) {
        double c, f;
        if (r % 2 == 0) {
            ::sync();
            c = cp(r);
            ::sync();
            f = ours(r);
        } else {
            ::sync();
            f = ours(r);
            ::sync();
            c = cp(r);
        }
        out.Cp.push_back(c);
        out.Ours.push_back(f);
        out.Ratios.push_back(f / c);
        std::printf("   round %d: %s %.3f s, ferrox %.3f s\n", r + 1, cpName, c, f);
    }
    return out;
}

bool HaveCommand(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// The number of system calls of a command and its threads and children, or -1.
long CountSyscalls(const std::string& cmd, const std::string& work) {
    std::string out = work + "/strace.txt";
    if (std::system(("strace -c -f -o '" + out + "' " + cmd + " >/dev/null 2>&1").c_str()) != 0)
        return -1;
    FILE* f = std::fopen(out.c_str(), "r");
    if (!f)
        return -1;
    long calls = -1;
    char line[512];
    while (std::fgets(line, sizeof line, f)) {
        // "100.00    0.123456           1    123456      1234 total"
        if (!std::strstr(line, " total"))
            continue;
        double pct, secs;
        long usecs;
        if (std::sscanf(line, "%lf %lf %ld %ld", &pct, &secs, &usecs, &calls) != 4)
            calls = -1;
    }
    std::fclose(f);
    ::unlink(out.c_str());
    return calls;
}

// Rounds of several contenders; the order rotates each round, so none always meets the
// writeback of another.
struct TContender {
    const char* Name;
    std::function<double(int)> Run;
    std::vector<double> Seconds = {};
};

void Rotate(int rounds, std::vector<TContender>& all) {
    for (int r = 0; r < rounds; ++r) {
        std::printf("   round %d:", r + 1);
        for (size_t k = 0; k < all.size(); ++k) {
            TContender& c = all[(k + r) % all.size()];
            ::sync();
            c.Seconds.push_back(c.Run(r));
        }
        for (auto& c : all)
            std::printf(" %s %.3f s", c.Name, c.Seconds.back());
        std::printf("\n");
    }
}

// CPU seconds (user + system) of this process's threads, of the calling one, or of the
// waited-for children (RUSAGE_SELF, RUSAGE_THREAD, RUSAGE_CHILDREN).
double CpuSeconds(int who) {
    struct rusage ru;
    ::getrusage(who, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct TCost {
    double Cpu = 0, Wall = 0;
};

// cp -r as a child: its CPU time and the wall time.
TCost CpCost(const std::string& source, const std::string& dest) {
    double cpu = CpuSeconds(RUSAGE_CHILDREN);
    auto start = Clock::now();
    Shell("cp -r '" + source + "' '" + dest + "'");
    return {CpuSeconds(RUSAGE_CHILDREN) - cpu, Seconds(start)};
}

// A whole run in this process (worker, monitor and all): its CPU time and the wall time.
TCost RunCost(const std::string& source, const std::string& dest) {
    double cpu = CpuSeconds(RUSAGE_SELF);
    double wall = RunTree(source, dest);
    return {CpuSeconds(RUSAGE_SELF) - cpu, wall};
}

// "median (min-max)" of values.
std::string Spread(const std::vector<double>& v) {
    char text[96];
    std::snprintf(text, sizeof text, "%.3f (%.3f-%.3f)", Median(v),
                  *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()));
    return text;
}

// Case 5: one flat directory against cp -r, in ordinary rounds and right after deletes.
void FlatDirectory(const std::string& work, int files, int rounds, int deleteRounds) {
    std::printf("\n5. one directory of %d files of 100 B, against cp -r: CPU (user + system) and "
                "wall time\n",
                files);
    const std::string flat = work + "/flat";
    MakeTree(flat, 1, files, 100);
    const std::string source = flat + "/d0";
    std::vector<double> cpuRatios, wallRatios;
    std::vector<std::string> cpCopies, fxCopies; // deleted by the rounds after a delete
    auto report = [&](const char* what, int r, TCost c, TCost f) {
        cpuRatios.push_back(f.Cpu / c.Cpu);
        wallRatios.push_back(f.Wall / c.Wall);
        std::printf("   %s %d: cp -r cpu %.3f s wall %.3f s, ferrox cpu %.3f s wall %.3f s, "
                    "cpu ratio %.3f\n",
                    what, r + 1, c.Cpu, c.Wall, f.Cpu, f.Wall, f.Cpu / c.Cpu);
    };
    std::vector<double> bareRatios[2];
    for (int r = 0; r < rounds; ++r) {
        cpCopies.push_back(work + "/flatcp" + std::to_string(r));
        fxCopies.push_back(work + "/flatfx" + std::to_string(r));
        TCost c, f;
        ::sync();
        if (r % 2 == 0)
            c = CpCost(source, cpCopies.back());
        else
            f = RunCost(source, fxCopies.back());
        ::sync();
        if (r % 2 == 0)
            f = RunCost(source, fxCopies.back());
        else
            c = CpCost(source, cpCopies.back());
        report("round", r, c, f);
        // cp's steps on this thread alone, each file made under its name and unnamed: the
        // latter is the floor under a run. Who goes first alternates, as above.
        for (bool unnamed : {r % 2 == 1, r % 2 == 0}) {
            ::sync();
            const double before = CpuSeconds(RUSAGE_THREAD);
            BareCopy(source, work + (unnamed ? "/flatbu" : "/flatbn") + std::to_string(r), unnamed);
            bareRatios[unnamed].push_back((CpuSeconds(RUSAGE_THREAD) - before) / c.Cpu);
        }
    }
    std::printf("   median (min-max): cpu ratio %s, wall ratio %s (cpu must <= 1.1)\n",
                Spread(cpuRatios).c_str(), Spread(wallRatios).c_str());
    std::printf("   cp's steps alone, in this process, by cpu: %s x cp -r with each file made "
                "under its name, %s x through an unnamed file\n",
                Spread(bareRatios[0]).c_str(), Spread(bareRatios[1]).c_str());

    cpuRatios.clear();
    wallRatios.clear();
    Clock::time_point lastDelete = Clock::now();
    // Until the deletes before this case have aged out: a minute after they reached the disk.
    auto afterDelete = [&](const std::string& victim, auto copy) {
        ::sync();
        auto aged = lastDelete + std::chrono::seconds(62);
        if (Clock::now() < aged)
            std::this_thread::sleep_until(aged);
        Shell("rm -rf '" + victim + "'");
        lastDelete = Clock::now();
        return copy();
    };
    for (int r = 0; r < deleteRounds && r < rounds; ++r) {
        const std::string cpDest = work + "/flatcpd" + std::to_string(r),
                          fxDest = work + "/flatfxd" + std::to_string(r);
        auto cp = [&] { return afterDelete(cpCopies[r], [&] { return CpCost(source, cpDest); }); };
        auto fx = [&] { return afterDelete(fxCopies[r], [&] { return RunCost(source, fxDest); }); };
        TCost c, f;
        if (r % 2 == 0) {
            c = cp();
            f = fx();
        } else {
            f = fx();
            c = cp();
        }
        report("after a delete of as many files, round", r, c, f);
    }
    if (!cpuRatios.empty())
        std::printf("   after a delete, median (min-max): cpu ratio %s, wall ratio %s (cpu must "
                    "<= 1.1)\n",
                    Spread(cpuRatios).c_str(), Spread(wallRatios).c_str());
}

// root/d0 .. d<dirs-1>, each with `perDir` symbolic links l0 .. to a name in the same
// directory (which need not exist: a link is copied as a link).
void MakeLinkTree(const std::string& root, int dirs, int perDir) {
    ::mkdir(root.c_str(), 0755);
    for (int d = 0; d < dirs; ++d) {
        const std::string sub = root + "/d" + std::to_string(d);
        ::mkdir(sub.c_str(), 0755);
        for (int f = 0; f < perDir; ++f)
            if (::symlink(("f" + std::to_string(f)).c_str(),
                          (sub + "/l" + std::to_string(f)).c_str()) != 0)
                Fail("cannot make a link in " + sub);
    }
}

// Case 6: for each kind of entry, the time per entry of a run at `large` entries against
// one at `small`; a list that an entry of that kind enters and never leaves shows here.
void Kinds(const std::string& shm, int small, int large, int rounds) {
    std::printf("\n6. on tmpfs, each kind of entry: time per entry at %d against %d (median of "
                "%d at %d), and against cp -r\n",
                large, small, rounds, small);
    struct TKind {
        const char* Name;
        std::function<void(const std::string&, int)> Make; // root, entries
        bool Skipped;                                      // copied once before, then skipped
    };
    const std::vector<TKind> kinds = {
        {"empty files", [](const std::string& root, int n) { MakeTree(root, n / 100, 100, 0); },
         false},
        {"files of 512 B",
         [](const std::string& root, int n) { MakeTree(root, n / 100, 100, 512); }, false},
        {"symbolic links", [](const std::string& root, int n) { MakeLinkTree(root, n / 100, 100); },
         false},
        {"skipped files (target exists)",
         [](const std::string& root, int n) { MakeTree(root, n / 100, 100, 0); }, true},
    };
    int copy = 0;
    for (const TKind& kind : kinds) {
        double perEntry[2] = {0, 0}, cpPerEntry[2] = {0, 0};
        const int sizes[2] = {small, large};
        for (int k = 0; k < 2; ++k) {
            const int n = sizes[k];
            const std::string tree = shm + "/kind" + std::to_string(copy++);
            kind.Make(tree, n);
            std::vector<double> ours, cp;
            for (int r = 0; r < (k == 0 ? rounds : 1); ++r) {
                const std::string dest = shm + "/kfx" + std::to_string(copy++);
                const std::string cpDest = shm + "/kcp" + std::to_string(copy++);
                std::string cpCommand = "cp -r '" + tree + "' '" + cpDest + "'";
                if (kind.Skipped) {
                    // The targets are there already: every file is looked at and left.
                    for (const std::string& d : {dest, cpDest}) {
                        ::mkdir(d.c_str(), 0755);
                        Shell("cp -r '" + tree + "' '" + d + "/'");
                    }
                    cpCommand = "cp -rn '" + tree + "' '" + cpDest + "/'";
                }
                ::sync();
                ours.push_back(
                    RunTree(tree, dest,
                            kind.Skipped ? TExistingTargets::Skip : TExistingTargets::Overwrite));
                ::sync();
                cp.push_back(TimeShell(cpCommand));
                Shell("rm -rf '" + dest + "' '" + cpDest + "'");
            }
            Shell("rm -rf '" + tree + "'");
            const double entries = n + n / 100 + 1; // files, their folders and the top one
            perEntry[k] = Median(ours) / entries;
            cpPerEntry[k] = Median(cp) / entries;
            std::printf("   %s, %d: ferrox %.3f s (%.1f us each), cp -r %.3f s, ratio %.3f\n",
                        kind.Name, n, Median(ours), perEntry[k] * 1e6, Median(cp),
                        Median(ours) / Median(cp));
        }
        const double growth = perEntry[1] / perEntry[0];
        // The file system itself may grow slower per entry (cp shows it); what is left
        // beyond cp's growth is Ferrox's own.
        const double cpGrowth = cpPerEntry[1] / cpPerEntry[0];
        std::printf("   %s: time per entry at %d / at %d = %.3f (must <= 1.2): %s; cp -r's %.3f, "
                    "Ferrox's own growth %.3f\n",
                    kind.Name, large, small, growth, growth <= 1.2 ? "ok" : "TOO SLOW", cpGrowth,
                    growth / cpGrowth);
    }
}

long PeakRssKiB() {
    struct rusage ru;
    ::getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

} // namespace

// What to measure, from the command line.
struct TCases {
    std::string Work, Shm, Tmpfs;
    int BigMiB = 0, Rounds = 0, KindFiles = 0, FlatFiles = 0, DeleteRounds = 0;
    bool Large = false, Tree = false, Tree200k = false, OnTmpfs = false, Kinds = false,
         Flat = false;
};
int Bench(const TCases& c);

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--tree-once") {
        TraceCreate();
        RunTree(argv[2], argv[3]);
        return 0;
    }
    TArgs args(argc, argv);
    const std::string base = args.Text("--dir", DefaultWorkBase());
    const std::string tmpfs = args.Text("--tmpfs", "/dev/shm");
    const int bigMiB = int(args.Number("--big-mib", 256));
    const int rounds = int(args.Number("--rounds", 3));
    // The cases that take long (the trees of 200,000 files on the disk, the flat directory
    // and its minute-long pauses after deletes) run only when asked for.
    const bool longCases = args.Flag("--long");
    const bool skipLarge = args.Flag("--skip-large");
    const bool skipTree = args.Flag("--skip-tree");
    const bool skipTmpfs = args.Flag("--skip-tmpfs");
    const bool skipKinds = args.Flag("--skip-kinds");
    const int kindFiles = int(args.Number("--kind-files", 200000, 200));
    const int flatFiles = int(args.Number("--flat-files", 60000));
    const int deleteRounds = int(args.Number("--delete-rounds", 2, 0));
    if (!args.Done())
        return 2;
    TCases c{.Work = MakeWorkDir(base, "ferrox-bench"),
             .Shm = skipTmpfs && skipKinds ? "" : MakeWorkDir(tmpfs, "ferrox-bench"),
             .Tmpfs = tmpfs,
             .BigMiB = bigMiB,
             .Rounds = rounds,
             .KindFiles = kindFiles,
             .FlatFiles = flatFiles,
             .DeleteRounds = deleteRounds,
             .Large = !skipLarge,
             .Tree = !skipTree,
             .Tree200k = longCases,
             .OnTmpfs = !skipTmpfs,
             .Kinds = !skipKinds,
             .Flat = longCases};
    return RunRemovingAfter({c.Work, c.Shm}, [&] { return Bench(c); });
}

int Bench(const TCases& c) {
    const std::string& work = c.Work;
    const std::string& shm = c.Shm;
    const std::string& tmpfs = c.Tmpfs;
    const int bigMiB = c.BigMiB, rounds = c.Rounds;
    TraceCreate();
    // The large file's progress goes to a monitor, as in a run.
    TNullUi ui;
    TProgressChannel progress;
    TProgressMonitor monitor(progress, ui, ui);
    monitor.Start();
    std::printf("work directory: %s\n", work.c_str());

    if (c.Large) {
        std::string src = work + "/big.bin";
        std::printf("\n1. one file of %d MiB (median of %d alternating runs)\n", bigMiB, rounds);
        Shell("head -c " + std::to_string(int64_t(bigMiB) << 20) + " /dev/urandom > '" + src + "'");
        std::atomic<bool> abortAsked{false};
        TRounds big = Alternate(
            rounds, "cp",
            [&](int r) {
                return TimeShell("cp '" + src + "' '" + work + "/cp" + std::to_string(r) + ".bin'");
            },
            [&](int r) {
                auto start = Clock::now();
                TLineCopyResult copy = DoFileCopy(src, work + "/fx" + std::to_string(r) + ".bin",
                                                  false, abortAsked, {.Progress = &progress});
                if (!copy.Ok())
                    std::fprintf(stderr, "copy failed: %d\n", copy.Error);
                return Seconds(start);
            });
        std::printf("   median: cp %.3f s, ferrox %.3f s, ratio %.3f (must <= 1.05, aim 1.02)\n",
                    Median(big.Cp), Median(big.Ours), Median(big.Ratios));
    }

    if (c.Tree) {
        std::printf("\n2. tree of 20,000 files of 4 KiB in 200 directories (median of %d)\n",
                    rounds);
        std::string tree = work + "/tree20k";
        MakeTree(tree, 200, 100, 4096);
        TRounds small = Alternate(
            rounds, "cp -r",
            [&](int r) {
                return TimeShell("cp -r '" + tree + "' '" + work + "/cpr" + std::to_string(r) +
                                 "'");
            },
            [&](int r) { return RunTree(tree, work + "/fxr" + std::to_string(r)); });
        double perFile20k = Median(small.Ours) / 20000;
        std::printf("   median: cp -r %.3f s, ferrox %.3f s, ratio %.3f (must <= 1.5, aim 1.25)\n",
                    Median(small.Cp), Median(small.Ours), Median(small.Ratios));
        std::printf("   per file: cp -r %.1f us, ferrox %.1f us\n", Median(small.Cp) / 20000 * 1e6,
                    perFile20k * 1e6);

        if (c.Tree200k) {
            std::printf("\n3. tree of 200,000 files of 1 KiB in 2,000 directories\n");
            std::string big = work + "/tree200k";
            MakeTree(big, 2000, 100, 1024);
            ::sync();
            long rssBefore = PeakRssKiB();
            double f = RunTree(big, work + "/fx200k");
            long rssAfter = PeakRssKiB();
            ::sync();
            double c = TimeShell("cp -r '" + big + "' '" + work + "/cp200k'");
            double perFile = f / 200000;
            std::printf("   cp -r %.3f s, ferrox %.3f s (ratio %.3f)\n", c, f, f / c);
            std::printf("   per file: %.1f us, against %.1f us at 20,000 files: ratio %.3f "
                        "(must <= 1.2)\n",
                        perFile * 1e6, perFile20k * 1e6, perFile / perFile20k);
            // The file system itself gets slower per file as trees grow; against cp in the
            // same run, what is left is Ferrox's own growth.
            double cpPerFile20k = Median(small.Cp) / 20000, cpPerFile = c / 200000;
            std::printf("   cp -r per file: %.1f us, against %.1f us at 20,000 files: ratio %.3f; "
                        "Ferrox's share grows by %.3f\n",
                        cpPerFile * 1e6, cpPerFile20k * 1e6, cpPerFile / cpPerFile20k,
                        (perFile / cpPerFile) / (perFile20k / cpPerFile20k));
            // Each file is a source line and a destination line: 400,000 lines.
            std::printf("   peak memory growth: %ld KiB, %.0f bytes per line\n",
                        rssAfter - rssBefore, double(rssAfter - rssBefore) * 1024 / 402000);
        }
    }

    if (c.OnTmpfs) {
        std::printf("\n4. on tmpfs (%s): 20,000 files of 512 B in 200 directories, one directory "
                    "line (median of %d)\n",
                    tmpfs.c_str(), rounds);
        std::string tree = shm + "/tree";
        MakeTree(tree, 200, 100, 512);
        std::vector<TContender> all;
        all.push_back({"cp -p", [&](int r) {
                           return TimeShell("cp -r --preserve=mode,timestamps '" + tree + "' '" +
                                            shm + "/cp" + std::to_string(r) + "'");
                       }});
        const bool rsync = HaveCommand("rsync");
        if (rsync)
            all.push_back({"rsync -a", [&](int r) {
                               return TimeShell("rsync -a '" + tree + "' '" + shm + "/rs" +
                                                std::to_string(r) + "'");
                           }});
        const size_t bare = all.size();
        for (bool unnamed : {false, true})
            all.push_back({unnamed ? "bare unnamed" : "bare", [&, unnamed](int r) {
                               return BareCopy(tree,
                                               shm + (unnamed ? "/bu" : "/bn") + std::to_string(r),
                                               unnamed);
                           }});
        all.push_back(
            {"ferrox", [&](int r) { return RunTree(tree, shm + "/fx" + std::to_string(r)); }});
        Rotate(rounds, all);
        const TContender& ours = all.back();
        // Ratios per round (same conditions), then their median.
        auto ratio = [&](const TContender& of, const TContender& to) {
            std::vector<double> ratios;
            for (size_t r = 0; r < of.Seconds.size(); ++r)
                ratios.push_back(of.Seconds[r] / to.Seconds[r]);
            return Median(ratios);
        };
        auto ratioTo = [&](const TContender& peer) { return ratio(ours, peer); };
        std::printf("   median: cp -p %.3f s, ferrox %.3f s, ratio %.3f (must <= 1.3, aim 1.0)\n",
                    Median(all[0].Seconds), Median(ours.Seconds), ratioTo(all[0]));
        if (rsync)
            std::printf("   median: rsync -a %.3f s, ratio %.3f\n", Median(all[1].Seconds),
                        ratioTo(all[1]));
        else
            std::printf("   rsync is not installed: no comparison with it\n");
        // What stands between a run and cp here: the unnamed file, and the run's own work.
        std::printf("   cp -p's steps alone, in this process: %.3f x cp -p with each file made "
                    "under its name, %.3f x through an unnamed file (%.3f x the former: the "
                    "unnamed file's own cost); ferrox %.3f x the latter (the run's own work)\n",
                    ratio(all[bare], all[0]), ratio(all[bare + 1], all[0]),
                    ratio(all[bare + 1], all[bare]), ratioTo(all[bare + 1]));
        std::printf("   per file: cp -p %.1f us, ferrox %.1f us\n",
                    Median(all[0].Seconds) / 20000 * 1e6, Median(ours.Seconds) / 20000 * 1e6);

        if (HaveCommand("strace")) {
            std::string self = ExecutablePath();
            long cpCalls = CountSyscalls(
                "cp -r --preserve=mode,timestamps '" + tree + "' '" + shm + "/cp-strace'", shm);
            long fxCalls = CountSyscalls(
                "'" + self + "' --tree-once '" + tree + "' '" + shm + "/fx-strace'", shm);
            long rsCalls =
                rsync ? CountSyscalls("rsync -a '" + tree + "' '" + shm + "/rs-strace'", shm) : -1;
            std::printf("   system calls per file: cp -p %.1f, ferrox %.1f", cpCalls / 20000.0,
                        fxCalls / 20000.0);
            if (rsync)
                std::printf(", rsync -a %.1f", rsCalls / 20000.0);
            std::printf(" (whole runs, start-up included)\n");
        } else {
            std::printf("   strace is not installed: no system call counts\n");
        }
        Shell("rm -rf '" + shm + "'/*");
    }

    if (c.Kinds)
        Kinds(shm, c.KindFiles / 10, c.KindFiles, rounds);

    if (c.Flat)
        FlatDirectory(work, c.FlatFiles, rounds, c.DeleteRounds);

    monitor.Stop();
    return 0;
}
