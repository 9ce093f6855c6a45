// Large files under the user's hand:
//  1. Pause: a large file copied by the engine is paused a second into its copy; what the
//     copy moved, and what this process wrote (/proc/self/io), in the 3 s from 1 s after the
//     click, and how long the run took to say it was paused. Goal: under 4 MiB.
//  2. The speed cap: ferrox-run --limit-rate of one file, its seconds against the size over
//     the rate. Goal: within 10 %.
//
//   big_file_bench [--dir DIR] [--pause-mib N] [--pause-rate-mib N] [--cap-mib N]
//                  [--cap-rate-mib N]
// The pause's goal is about a disk held at 40 MiB/s (a loop device under the cgroup blkio
// throttle); without one, the run's own speed cap holds the copy at --pause-rate-mib
// (default 40; 0: none, for a throttled disk given with --dir).
#include "bench/BenchSupport.h"
#include "diag/Trace.h"
#include "engine/RunControl.h"

#include <fstream>
#include <thread>

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

} // namespace

int main(int argc, char** argv) {
    TArgs args(argc, argv);
    const std::string base = args.Text("--dir", DefaultWorkBase());
    const int pauseMiB = int(args.Number("--pause-mib", 1024));
    const int pauseRate = int(args.Number("--pause-rate-mib", 40, 0));
    const int capMiB = int(args.Number("--cap-mib", 200));
    const int capRate = int(args.Number("--cap-rate-mib", 40));
    if (!args.Done())
        return 2;
    std::string work = base + "/ferrox-big-bench-XXXXXX";
    if (!::mkdtemp(work.data()))
        Fail("mkdtemp");
    TraceCreate();
    std::printf("work directory: %s\n", work.c_str());
    PauseCase(work, pauseMiB, pauseRate);
    CapCase(work, capMiB, capRate);
    Shell("rm -rf '" + work + "'");
    TraceRelease();
    return 0;
}
