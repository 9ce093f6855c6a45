// Large files under the user's hand:
//  1. Pause: a large file copied by the engine is paused a second into its copy; what the
//     copy moved, and what this process wrote (/proc/self/io), in the 3 s from 1 s after the
//     click, and how long the run took to say it was paused. Goal: under 4 MiB.
//  2. The speed cap: ferrox-run --limit-rate of one file, its seconds against the size over
//     the rate. Goal: within 10 %.
//  3. A copy cut off: ferrox-run killed (SIGKILL) half way through a large file, then run
//     again: what the second run wrote (its own block output, and the device's sectors
//     written meanwhile, which other writers on the machine add to) against the file's size.
//     Goal: at most 60 %.
//
//   big_file_bench [--dir DIR] [--pause-mib N] [--pause-rate-mib N] [--cap-mib N]
//                  [--cap-rate-mib N] [--resume-mib N]
// The pause's goal is about a disk held at 40 MiB/s (a loop device under the cgroup blkio
// throttle); without one, the run's own speed cap holds the copy at --pause-rate-mib
// (default 40; 0: none, for a throttled disk given with --dir).
#include "bench/BenchSupport.h"
#include "diag/Trace.h"
#include "engine/RunControl.h"

#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace ferrox;
using namespace ferrox::bench;

namespace {

// What this process has had written to storage, from /proc/self/io.
int64_t WriteBytes() {
    std::ifstream io("/proc/self/io");
    std::string key;
    int64_t value = 0;
    while (io >> key >> value)
        if (key == "write_bytes:")
            return value;
    return 0;
}

void PauseCase(const std::string& work, int mib, int rateMiB) {
    const std::string source = work + "/pause.bin", dest = work + "/pause-out";
    WriteFile(source, size_t(mib) << 20, 3);
    ::mkdir(dest.c_str(), 0755);
    TCopyQueue q;
    TRunState run;
    TRunControl control(q, run);
    run.SpeedLimit.SetRate(int64_t(rateMiB) << 20);
    q.AddItem(q.lstCopyFrom, source, false, lsFileWaiting);
    q.AddItem(q.lstCopyTo, dest, false, lsDirWaiting);
    control.StartPauseResume();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    if (!run.CopyRunning.load())
        Fail("the copy ended within a second: give a larger --pause-mib");
    const auto clicked = Clock::now();
    control.StartPauseResume(); // Pause
    while (run.Phase.Phase() != TRunPhase::Paused && run.CopyRunning.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double toPaused = Seconds(clicked);
    std::this_thread::sleep_for(std::chrono::seconds(1) - (Clock::now() - clicked));
    const int64_t movedBefore = run.Progress.BytesMoved.load(), writtenBefore = WriteBytes();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const int64_t moved = run.Progress.BytesMoved.load() - movedBefore;
    const int64_t written = WriteBytes() - writtenBefore;
    std::printf("pause: %d MiB file, paused %.3f s after the click; in the 3 s from 1 s after "
                "it the copy moved %.2f MiB and the process wrote %.2f MiB (goal: < 4 MiB)\n",
                mib, toPaused, double(moved) / (1 << 20), double(written) / (1 << 20));
    control.Abort();
    control.CopyWorker()->WaitFor();
    control.ReleaseWorker();
}

void CapCase(const std::string& work, int mib, int rateMiB) {
    const std::string source = work + "/cap.bin", dest = work + "/cap-out";
    WriteFile(source, size_t(mib) << 20, 5);
    ::mkdir(dest.c_str(), 0755);
    WriteText(work + "/cap.ini", "[Queue]\r\nFROM-1=F:" + source + "\r\nTO-1=" + dest +
                                     "\r\nDONE-1=0\r\nMOVE-1=0\r\n");
    const auto start = Clock::now();
    Shell("cd '" + work + "' && " + std::string(FERROX_RUN_PATH) + " -q --no-flush --limit-rate=" +
          std::to_string(rateMiB) + "M '" + work + "/cap.ini' >/dev/null");
    const double seconds = Seconds(start);
    const double expected = double(mib) / double(rateMiB);
    std::printf("cap: %d MiB at --limit-rate=%dM took %.2f s, expected %.2f s: ratio %.3f "
                "(goal: 0.9 to 1.1)\n",
                mib, rateMiB, seconds, expected, seconds / expected);
}

// ferrox-run on queue in work, started apart: its pid.
pid_t StartRunner(const std::string& work, const std::string& queue) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int quiet = ::open("/dev/null", O_WRONLY);
        if (::chdir(work.c_str()) != 0 || quiet < 0 || ::dup2(quiet, 1) < 0)
            ::_exit(127);
        ::execl(FERROX_RUN_PATH, FERROX_RUN_PATH, "-q", queue.c_str(), nullptr);
        ::_exit(127);
    }
    if (pid < 0)
        Fail("fork");
    return pid;
}

// Sectors written to the device that holds path (its /sys/dev/block entry), or -1.
int64_t SectorsWritten(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return -1;
    std::ifstream stat("/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                       std::to_string(minor(st.st_dev)) + "/stat");
    int64_t field = 0;
    for (int i = 0; i < 7 && stat >> field; ++i) {
    }
    return stat ? field : -1;
}

// The size of the largest file in dir, as far as a copy into it has got.
int64_t LargestIn(const std::string& dir) {
    int64_t largest = 0;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            struct stat st;
            if (::stat((dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
                largest = std::max<int64_t>(largest, st.st_size);
        }
        ::closedir(d);
    }
    return largest;
}

void ResumeCase(const std::string& work, int mib) {
    const std::string source = work + "/resume.bin", dest = work + "/resume-out";
    WriteFile(source, size_t(mib) << 20, 9);
    ::mkdir(dest.c_str(), 0755);
    const std::string queue = work + "/resume.ini";
    WriteText(queue, "[Queue]\r\nFROM-1=F:" + source + "\r\nTO-1=" + dest +
                         "\r\nDONE-1=0\r\nMOVE-1=0\r\n");
    const int64_t half = (int64_t(mib) << 20) / 2;
    const pid_t first = StartRunner(work, queue);
    while (LargestIn(dest) < half) {
        if (::waitpid(first, nullptr, WNOHANG) == first)
            Fail("the first run ended before half the file: give a larger --resume-mib");
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ::kill(first, SIGKILL);
    ::waitpid(first, nullptr, 0);
    const int64_t cutAt = LargestIn(dest);
    Shell("sync");
    const int64_t sectorsBefore = SectorsWritten(dest);
    const pid_t second = StartRunner(work, queue);
    int status = 0;
    struct rusage usage {};
    if (::wait4(second, &status, 0, &usage) != second || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        Fail("the second run failed");
    Shell("sync");
    const int64_t sectors = SectorsWritten(dest) - sectorsBefore;
    Shell("cmp -s '" + source + "' '" + dest + "/resume.bin'");
    const double size = double(int64_t(mib) << 20);
    std::printf("resume: %d MiB file killed at %.0f MiB; the next run wrote %.0f MiB itself "
                "(%.0f %%), the device %.0f MiB meanwhile (%.0f %%) (goal: at most 60 %%)\n",
                mib, double(cutAt) / (1 << 20), double(usage.ru_oublock) * 512 / (1 << 20),
                100.0 * double(usage.ru_oublock) * 512 / size, double(sectors) * 512 / (1 << 20),
                sectors < 0 ? -1.0 : 100.0 * double(sectors) * 512 / size);
}

} // namespace

int main(int argc, char** argv) {
    TArgs args(argc, argv);
    const std::string base = args.Text("--dir", DefaultWorkBase());
    const int pauseMiB = int(args.Number("--pause-mib", 1024));
    const int pauseRate = int(args.Number("--pause-rate-mib", 40, 0));
    const int capMiB = int(args.Number("--cap-mib", 200));
    const int capRate = int(args.Number("--cap-rate-mib", 40));
    const int resumeMiB = int(args.Number("--resume-mib", 1024));
    if (!args.Done())
        return 2;
    std::string work = base + "/ferrox-big-bench-XXXXXX";
    if (!::mkdtemp(work.data()))
        Fail("mkdtemp");
    TraceCreate();
    std::printf("work directory: %s\n", work.c_str());
    PauseCase(work, pauseMiB, pauseRate);
    CapCase(work, capMiB, capRate);
    ResumeCase(work, resumeMiB);
    Shell("rm -rf '" + work + "'");
    TraceRelease();
    return 0;
}
