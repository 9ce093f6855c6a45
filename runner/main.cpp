// ferrox-run: runs a saved queue from a terminal or a script with the same engine as the
// window, then writes the queue back with the finished lines marked done.
#include "core/FerroxCore.h"
#include "diag/ErrorLog.h"
#include "diag/StatusLine.h"
#include "diag/Trace.h"
#include "engine/NumberFormat.h"
#include "engine/RunEvents.h"
#include "engine/modRXThread/ProgressMonitor.h"
#include "persist/ExePath.h"
#include "platform/SysError.h"
#include "runner/ConsoleOutput.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

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
    "lines are marked done. Ctrl-C, SIGTERM or a closed terminal abort the file in\n"
    "progress (no partial file stays) and still save the queue. A queue file changed by\n"
    "another program meanwhile is left as it is; the queue is then saved beside it.\n"
    "\n"
    "  -q, --quiet   print only failures and the summary\n"
    "  -h, --help    show this help\n"
    "\n"
    "Failures and usage errors go to stderr, everything else to stdout.\n"
    "\n"
    "Exit status: 0 no line failed, 1 a line failed, the run was aborted or the queue\n"
    "file could not be saved (or was saved beside it), 2 bad usage, or a queue file that\n"
    "cannot be read, is not a queue or is in use by another Ferrox.\n";

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

// A usage error: why, then how the program is called, on stderr.
int UsageError(const std::string& why) {
    std::fprintf(stderr,
                 "ferrox-run: %s\nusage: ferrox-run [-q] [QUEUEFILE]\n"
                 "Try 'ferrox-run --help' for more.\n",
                 why.c_str());
    return 2;
}

// Keeps what the queue file's load shows, so that ferrox-run decides what to print once it
// knows whether the load worked.
class TLoadTexts : public IStatusLine {
public:
    void SetStatusText(const std::string& text) override {
        std::lock_guard lock(mutex_);
        texts_.push_back(text);
    }
    std::vector<std::string> Texts() {
        std::lock_guard lock(mutex_);
        return texts_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> texts_;
};

// What the run tells: the file the progress line names, every failed line with its path
// and reason on stderr, and its end, which wakes the main thread at once.
class TRunnerEvents : public IRunEvents {
public:
    explicit TRunnerEvents(TConsoleOutput& out) : out_(out) {}

    void FileStarted(const std::string& source) override { out_.SetCurrentFile(source); }
    void FileFinished(const std::string&, int) override {}
    void SourceNotRemoved(const std::string& source, int errorCode) override {
        sourcesKept_.fetch_add(1);
        out_.PrintError("ferrox-run: source not removed: " + source + ": " +
                        SysErrorMessage(errorCode));
    }
    void LineFailed(const std::string&, int errorCode, const std::string& where) override {
        out_.PrintError("ferrox-run: failed: " + where + ": " + SysErrorMessage(errorCode));
    }
    void RunEnded(bool) override {
        std::lock_guard lock(mutex_);
        ended_ = true;
        endedCv_.notify_all();
    }
    void ButtonsChanged() override {}

    // True once the run has ended; waits at most `timeout` for it.
    bool WaitForEnd(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return endedCv_.wait_for(lock, timeout, [this] { return ended_; });
    }
    long SourcesKept() const { return sourcesKept_.load(); }

private:
    TConsoleOutput& out_;
    std::mutex mutex_;
    std::condition_variable endedCv_;
    bool ended_ = false;
    std::atomic<long> sourcesKept_{0};
};

} // namespace

int main(int argc, char** argv) {
    bool quiet = false;
    bool haveQueueFile = false;
    std::string queueFile;
    auto takeQueueFile = [&](const std::string& name) {
        if (name.empty())
            return UsageError("the queue file name is empty");
        if (haveQueueFile)
            return UsageError("one queue file at a time, not both " + queueFile + " and " + name);
        haveQueueFile = true;
        queueFile = name;
        return 0;
    };
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            std::fputs(Usage, stdout);
            return 0;
        }
        if (a == "-q" || a == "--quiet") {
            quiet = true;
        } else if (a == "--") {
            for (++i; i < argc; ++i)
                if (int rc = takeQueueFile(argv[i]))
                    return rc;
        } else if (a.size() > 1 && a[0] == '-') {
            return UsageError("unknown option " + a);
        } else if (int rc = takeQueueFile(a)) {
            return rc;
        }
    }

    // Output is a courtesy: a reader that went away (ferrox-run | head) must not end the
    // copy, and a file size limit fails the write at hand instead of killing the run.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);

    // The same log place as the window's, so an installed copy logs where the user finds it.
    SetLogDirectory(StatePath());
    TraceCreate();
    TConsoleOutput out(quiet, ::isatty(STDOUT_FILENO) == 1);
    TLoadTexts loadTexts;
    TRunnerEvents events(out);
    TFerroxCore core(queueFile);
    TCoreSinks sinks;
    sinks.StatusLine = &loadTexts;
    sinks.Gauge = &out;
    sinks.RatePanel = &out;
    sinks.RunEvents = &events;
    core.Attach(sinks);
    const TLoadResult loaded = core.Start();
    if (loaded != TLoadResult::Loaded) {
        std::vector<std::string> texts = loadTexts.Texts();
        core.Shutdown();
        core.DetachSinks();
        const std::string name = haveQueueFile ? queueFile : ExePath() + "QUEUE.INI";
        std::string why = loaded == TLoadResult::FileMissing || texts.empty()
                              ? "cannot read queue file " + name + ": " + SysErrorMessage(ENOENT)
                              : texts.back();
        out.PrintError("ferrox-run: " + why);
        TraceRelease();
        return 2;
    }
    sinks.StatusLine = &out;
    core.Attach(sinks);
    for (const std::string& text : loadTexts.Texts())
        out.SetStatusText(text);

    abortFlag = &core.Run.AbortFlag;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    // A closed terminal (SIGHUP) ends the run as Ctrl-C does, with the queue saved. A
    // signal ignored from the start stays ignored: nohup, or a background job of a script,
    // asked for the run to go on.
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            ::sigaction(sig, &sa, nullptr);
    }

    TCopyQueue& queue = core.Queue;
    const TCounts before = Count(queue);
    const int64_t bytesBefore = core.Run.Progress.TotalBytesCopied.load();
    const auto start = std::chrono::steady_clock::now();
    bool aborted = false;

    core.Control.btnCopyNowClick();
    // The run's end wakes this thread at once; meanwhile the progress line is drawn ten
    // times a second and a signal turns into "&Abort" (the signal handler has already
    // stopped the file in progress).
    while (!events.WaitForEnd(std::chrono::milliseconds(100))) {
        if (stopSignal && !aborted) {
            aborted = true;
            core.Control.btnCloseClick(); // "&Abort" while the run goes on
        }
        out.Redraw();
    }
    core.Control.ReleaseWorker();
    abortFlag = nullptr;
    aborted = aborted || stopSignal != 0; // the run may have ended before the loop saw it
    core.Shutdown();
    out.EndProgress();

    // A queue without lines has nothing to record; saving it would leave no file at all.
    // A queue file changed by someone else meanwhile is theirs: the queue goes beside it,
    // and the exit status says that the named file does not hold this run's result.
    const std::string queueName = core.QueueFile.QueueFileName;
    const TSaveResult save = queue.lstCopyFrom.AllNodeCount() == 0
                                 ? TSaveResult::Saved
                                 : core.QueueFile.SaveQueue(true, false, "");
    const bool saved = save == TSaveResult::Saved;
    std::string notSaved = ", queue file not saved";
    if (save == TSaveResult::SavedBeside) {
        const std::string& savedAs = core.QueueFile.QueueFileName;
        out.PrintError("ferrox-run: queue saved as " + savedAs + ": " + queueName +
                       " was changed by another program");
        notSaved = ", queue saved as " + savedAs;
    }

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const TCounts after = Count(queue);
    const int64_t bytes = core.Run.Progress.TotalBytesCopied.load() - bytesBefore;
    TNumberFormat fmt = TNumberFormat::FromUserLocale();
    std::string summary =
        "ferrox-run: " + std::to_string(after.done - before.done) + " lines copied, " +
        std::to_string(after.failed) + " failed, " + FormatNumber(double(bytes), 0, 0, fmt) +
        " bytes in " + FormatNumber(seconds, 0, 1, fmt) + " s (" +
        FormatNumber(seconds > 0 ? bytes / seconds / 1024 : 0, 0, 1, fmt) + " KiB/s)" +
        (aborted ? ", aborted" : "") + (saved ? std::string() : notSaved);
    out.PrintLine(summary);
    core.DetachSinks();
    TraceRelease();
    return after.failed > 0 || events.SourcesKept() > 0 || aborted || !saved ? 1 : 0;
}
