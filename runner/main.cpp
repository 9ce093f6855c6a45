// ferrox-run: runs a saved queue from a terminal or a script with the same engine as the
// window, then writes the queue back with the finished lines marked done.
#include "diag/StatusLine.h"
#include "diag/Trace.h"
#include "engine/FileCopy.h"
#include "engine/NumberFormat.h"
#include "engine/RunControl.h"
#include "engine/modRXThread/ProgressMonitor.h"
#include "persist/Options.h"
#include "persist/QueueFile.h"
#include "platform/FileSystem.h"
#include "platform/SysError.h"
#include "runner/ConsoleOutput.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

using namespace ferrox;

namespace {

volatile std::sig_atomic_t stopSignal = 0;
// The file in progress stops at its next chunk without waiting for the main loop; a
// lock-free atomic store is safe in a signal handler.
std::atomic<int32_t>* abortFlag = nullptr;
static_assert(std::atomic<int32_t>::is_always_lock_free);

void OnSignal(int sig) {
    stopSignal = sig;
    if (abortFlag)
        abortFlag->store(-1);
}

const char* const Usage =
    "usage: ferrox-run [-q] [QUEUEFILE]\n"
    "\n"
    "Runs every waiting line of a saved Ferrox queue (default: the QUEUE.INI that Ferrox\n"
    "uses), prints each status message on a line of its own and, on a terminal, a live\n"
    "progress line with the transfer rate. The queue file is then saved back, so copied\n"
    "lines are marked done. Ctrl-C aborts the file in progress (no partial file stays)\n"
    "and still saves the queue.\n"
    "\n"
    "  -q, --quiet   print only failures and the summary\n"
    "  -h, --help    show this help\n"
    "\n"
    "Exit status: 0 no line failed, 1 a line failed or the run was aborted,\n"
    "2 bad usage or a queue file that cannot be read.\n";

struct TCounts {
    long done = 0;
    long failed = 0;
};

TCounts Count(TCopyQueue& q) {
    TCounts c;
    for (PVirtualNode n = q.lstCopyFrom.FirstNode(); n; n = q.lstCopyFrom.NextNode(n)) {
        int32_t s = n->Data.Status.load();
        c.done += IsCompletedStatus(s);
        c.failed += s == lsFileFailed || s == lsDirFailed;
    }
    return c;
}

} // namespace

int main(int argc, char** argv) {
    bool quiet = false;
    std::string queueFile;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            std::fputs(Usage, stdout);
            return 0;
        }
        if (a == "-q" || a == "--quiet") {
            quiet = true;
        } else if (a == "--") {
            if (i + 2 == argc && queueFile.empty()) {
                queueFile = argv[++i];
            } else {
                std::fputs(Usage, stderr);
                return 2;
            }
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "ferrox-run: unknown option %s\n%s", a.c_str(), Usage);
            return 2;
        } else if (queueFile.empty()) {
            queueFile = a;
        } else {
            std::fputs(Usage, stderr);
            return 2;
        }
    }

    TraceCreate();
    TConsoleOutput out(quiet, ::isatty(STDOUT_FILENO) == 1);
    SetStatusLine(&out);
    LoadOptions();

    TCopyQueue queue;
    TRunState run;
    TRunControl control(queue, run);
    run.DeleteToRecycle = DeleteToRecycle.load();
    TQueueFile file(queue, run.CopyRunning);
    if (queueFile.empty())
        queueFile = file.QueueFileName;
    if (IsDirectory(queueFile) || ::access(queueFile.c_str(), R_OK) != 0) {
        int err = IsDirectory(queueFile) ? EISDIR : errno;
        SetStatusLine(nullptr);
        std::fprintf(stderr, "ferrox-run: cannot read queue file %s: %s\n", queueFile.c_str(),
                     SysErrorMessage(err).c_str());
        return 2;
    }
    file.LoadQueue(false, queueFile);
    queue.SetAutosave([&] { file.SaveQueue(false, false, ""); });

    abortFlag = &run.AbortFlag;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);

    TProgressMonitor monitor(out, out);
    monitor.DisplayProgressBar = DisplayProgressBar.load();
    monitor.Start();
    const TCounts before = Count(queue);
    const int64_t bytesBefore = TotalBytesCopied.load();
    const auto start = std::chrono::steady_clock::now();
    bool aborted = false;

    control.btnCopyNowClick();
    // The end of the run is noticed within 10 ms; the progress line is drawn ten times a
    // second.
    for (int tick = 0; !(control.CopyWorker() && control.CopyWorker()->Finished()); ++tick) {
        if (stopSignal && !aborted) {
            aborted = true;
            control.btnCloseClick(); // "&Abort" while the run goes on
        }
        if (tick % 10 == 0)
            out.Redraw();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    control.ReleaseWorker();
    abortFlag = nullptr;
    aborted = aborted || stopSignal != 0; // the run may have ended before the loop saw it
    monitor.Stop();
    out.EndProgress();

    file.SaveQueue(true, false, "");

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const TCounts after = Count(queue);
    const int64_t bytes = TotalBytesCopied.load() - bytesBefore;
    TNumberFormat fmt = TNumberFormat::FromUserLocale();
    std::string summary = "ferrox-run: " + std::to_string(after.done - before.done) +
                          " lines copied, " + std::to_string(after.failed) + " failed, " +
                          FormatNumber(double(bytes), 0, 0, fmt) + " bytes in " +
                          FormatNumber(seconds, 0, 1, fmt) + " s (" +
                          FormatNumber(seconds > 0 ? bytes / seconds / 1024 : 0, 0, 1, fmt) +
                          " KiB/s)" + (aborted ? ", aborted" : "");
    out.PrintLine(summary);
    SetStatusLine(nullptr);
    TraceRelease();
    return after.failed > 0 || aborted ? 1 : 0;
}
