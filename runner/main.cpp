// ferrox-run: runs a saved queue from a terminal or a script with the same engine as the
// window, then writes the queue back with the finished lines marked done.
#include "core/FerroxCore.h"
#include "core/RunAwake.h"
#include "core/RunFiguresText.h"
#include "diag/Trace.h"
#include "platform/NumberFormat.h"
#include "platform/SettingsDir.h"
#include "platform/SysError.h"
#include "runner/ConsoleOutput.h"
#if FERROX_SLEEP_INHIBITOR
#include "desktop/SleepInhibitor.h"
#endif

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

using namespace ferrox;

namespace {

volatile std::sig_atomic_t stopSignal = 0;
// The file in progress stops at its next chunk without waiting for the main loop.
TFerroxCore* signalledCore = nullptr;

void OnSignal(int sig) {
    stopSignal = sig;
    if (signalledCore)
        signalledCore->AbortFromSignal();
}

// How the program is called: the head of the help and of every usage error.
constexpr char Synopsis[] =
    "usage: ferrox-run [-q] [--no-flush] [--existing=POLICY] [--verify] [--workers=N|auto]\n"
    "                  [--limit-rate=RATE] [QUEUEFILE]\n";

const char* const Usage =
    "\n"
    "Runs every waiting line of a saved Ferrox queue (default: the QUEUE.INI that Ferrox\n"
    "uses), prints each status message on a line of its own and, on a terminal, a live\n"
    "progress line with the transfer rate. The queue file is then saved back, so copied\n"
    "lines are marked done. Ctrl-C, SIGTERM or a closed terminal abort the file in\n"
    "progress (no partial file stays) and still save the queue. A queue file changed by\n"
    "another program meanwhile is left as it is; the queue is then saved beside it.\n"
    "\n"
    "  -q, --quiet   print only failures and the summary\n"
    "      --no-flush\n"
    "                end without waiting until what was written is on the disk (for\n"
    "                scripts that flush themselves)\n"
    "      --existing=overwrite|skip|newer|keep-both\n"
    "                what to do with a target that exists already (default: as\n"
    "                QOPTIONS.INI says, else overwrite)\n"
    "      --verify  read every copy back from the disk and compare it before it takes\n"
    "                its name; a Move removes its source only after that\n"
    "      --workers=N|auto\n"
    "                files copied side by side (1 to 16; auto: as each target suits)\n"
    "      --limit-rate=RATE\n"
    "                at most RATE bytes a second for all files together, with K, M or G\n"
    "                for KiB, MiB or GiB (40M); 0: no limit (default: as QOPTIONS.INI\n"
    "                says, else none)\n"
    "  -h, --help    show this help\n"
    "      --version show the version\n"
    "\n"
    "Failures and usage errors go to stderr, everything else to stdout. A line that\n"
    "an abort stopped part-way is printed as interrupted, not as failed; nothing of\n"
    "its copy stays.\n"
    "\n"
    "Exit status: 0 no line failed, 1 a line failed, the run was aborted or the queue\n"
    "file could not be saved (or was saved beside it), 2 bad usage, a queue file that\n"
    "cannot be read, is not a queue or is in use by another Ferrox, or a QOPTIONS.INI\n"
    "that cannot be read or holds a value that means nothing (for an option no flag\n"
    "sets); nothing is copied then.\n";

// A usage error: why, then how the program is called, on stderr.
int UsageError(const std::string& why) {
    std::fprintf(stderr, "ferrox-run: %s\n%sTry 'ferrox-run --help' for more.\n", why.c_str(),
                 Synopsis);
    return 2;
}

struct TArguments {
    bool Quiet = false;
    bool Flush = true;
    TOptionOverrides Options; // --existing, --verify, --workers, --limit-rate
    bool HaveQueueFile = false;
    std::string QueueFile;
};

// The arguments, or the exit status when the program ends here (help, bad usage).
std::optional<int> ParseArguments(int argc, char** argv, TArguments& args) {
    auto takeQueueFile = [&](const std::string& name) -> std::optional<int> {
        if (name.empty())
            return UsageError("the queue file name is empty");
        if (args.HaveQueueFile)
            return UsageError("one queue file at a time, not both " + args.QueueFile + " and " +
                              name);
        args.HaveQueueFile = true;
        args.QueueFile = name;
        return std::nullopt;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        std::optional<int> end;
        if (a == "-h" || a == "--help") {
            std::fputs(Synopsis, stdout);
            std::fputs(Usage, stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("ferrox-run %s\n", FERROX_VERSION);
            return 0;
        }
        if (a == "-q" || a == "--quiet") {
            args.Quiet = true;
        } else if (a == "--no-flush") {
            args.Flush = false;
        } else if (a == "--verify") {
            args.Options.VerifyCopies = true;
        } else if (a.rfind("--existing=", 0) == 0) {
            if (!(args.Options.ExistingTargets = ExistingTargetsByName(a.substr(11))))
                end = UsageError("--existing takes overwrite, skip, newer or keep-both, not " +
                                 a.substr(11));
        } else if (a.rfind("--workers=", 0) == 0 || (a == "--workers" && i + 1 < argc)) {
            const std::string value = a == "--workers" ? argv[++i] : a.substr(10);
            if (!(args.Options.Workers = WorkersByName(value)))
                end = UsageError("--workers takes auto or 1 to 16, not " + value);
        } else if (a.rfind("--limit-rate=", 0) == 0 || (a == "--limit-rate" && i + 1 < argc)) {
            const std::string value = a == "--limit-rate" ? argv[++i] : a.substr(13);
            if (!(args.Options.SpeedLimit = SpeedLimitByName(value)))
                end = UsageError("--limit-rate takes bytes a second, with K, M or G (0: no "
                                 "limit), not " +
                                 value);
        } else if (a == "--") {
            for (++i; i < argc && !end; ++i)
                end = takeQueueFile(argv[i]);
        } else if (a.size() > 1 && a[0] == '-') {
            end = UsageError("unknown option " + a);
        } else {
            end = takeQueueFile(a);
        }
        if (end)
            return end;
    }
    return std::nullopt;
}

// A run that cannot do what QOPTIONS.INI asks does not start: a value there that means
// nothing (and that no flag of this call replaces) or a file that cannot be read is told
// on stderr, as a flag that means nothing is. The exit status then, or none.
std::optional<int> RefuseOptionsThatMeanNothing(const TArguments& args) {
    TOptions options;
    try {
        options = ReadOptions(args.Options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ferrox-run: %s; nothing was copied\n", e.what());
        return 2;
    }
    if (options.Unknown.empty())
        return std::nullopt;
    for (const TUnknownOption& u : options.Unknown) {
        const char* flag = u.Key == "ExistingTargets" ? "--existing"
                           : u.Key == "VerifyCopies"  ? "--verify"
                           : u.Key == "Workers"       ? "--workers"
                           : u.Key == "SpeedLimit"    ? "--limit-rate"
                                                      : nullptr;
        std::fprintf(stderr, "ferrox-run: %s=%s in %sQOPTIONS.INI means nothing: it takes %s%s\n",
                     u.Key.c_str(), u.Value.c_str(), SettingsDir().c_str(), u.Takes.c_str(),
                     flag ? (std::string(" (or give ") + flag + ")").c_str() : "");
    }
    std::fputs("ferrox-run: nothing was copied\n", stderr);
    return 2;
}

// Keeps what the queue file's load shows, so that ferrox-run decides what to print once it
// knows whether the load worked.
class TLoadTexts : public IStatusLine {
public:
    void SetStatusText(const std::string& text, TStatusKind kind) override {
        std::lock_guard lock(mutex_);
        texts_.emplace_back(text, kind);
    }
    std::vector<std::pair<std::string, TStatusKind>> Texts() {
        std::lock_guard lock(mutex_);
        return texts_;
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, TStatusKind>> texts_;
};

// What the run tells, in ferrox-run's words: the status line's for what goes on, and a
// line of its own on stderr for every failed line (their status texts are not printed
// again); the file the progress line names; and the run's end, which wakes the main
// thread at once.
class TRunnerEvents : public IRunEvents {
public:
    TRunnerEvents(TConsoleOutput& out, std::function<bool()> displayBar)
        : out_(out), displayBar_(std::move(displayBar)) {}

    void RunEvent(const TRunEvent& e, const TEventWords& words) override {
        switch (e.Kind) {
        case TRunEvent::FileStarted:
            out_.SetCurrentFile(e.Path);
            break;
        case TRunEvent::LineFailed:
            out_.PrintError("ferrox-run: failed: " + e.Where + ": " + SysErrorMessage(e.Code));
            return;
        case TRunEvent::LineInterrupted:
            // What was asked, not a failure: on stdout, and the summary counts it apart.
            bytesInterrupted_.fetch_add(e.Bytes);
            out_.SetStatusText("ferrox-run: interrupted: " + e.Path + " (" +
                                   FormatNumber(double(e.Bytes), 0, 0, format_) + " of " +
                                   FormatNumber(double(e.Size), 0, 0, format_) +
                                   " bytes written, not kept)",
                               TStatusKind::Info);
            return;
        case TRunEvent::SourceNotRemoved:
            if (!e.Line)
                break; // a folder that keeps something: the status line's words
            sourcesKept_.fetch_add(1);
            out_.PrintError("ferrox-run: source not removed: " + e.Path + ": " +
                            SysErrorMessage(e.Code));
            return;
        case TRunEvent::CopyFailed:
            return; // its line's failure is printed
        case TRunEvent::FileFinished:
            if (e.Code != 0)
                return;
            break;
        case TRunEvent::RunEnded:
            out_.SetStatusText(words.Shown, TStatusKind::Info);
            RunEnded();
            return;
        default:
            break;
        }
        out_.SetStatusText(words.Logged, TStatusKind::Failure);
        out_.SetStatusText(words.Shown, TStatusKind::Info);
    }
    void FileProgress(const std::optional<TFileProgress>& file,
                      const std::optional<TTransferRate>& rate) override {
        if (file)
            out_.SetFile(*file, !displayBar_ || displayBar_());
        if (rate)
            out_.SetRate(*rate);
    }
    void RunProgress(const TRunFigures& figures) override {
        out_.SetRunText(RunLiveLine(figures, format_));
    }
    void RunEnded() {
        std::lock_guard lock(mutex_);
        ended_ = true;
        endedCv_.notify_all();
    }

    // True once the run has ended; waits at most `timeout` for it.
    bool WaitForEnd(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return endedCv_.wait_for(lock, timeout, [this] { return ended_; });
    }
    long SourcesKept() const { return sourcesKept_.load(); }
    int64_t BytesInterrupted() const { return bytesInterrupted_.load(); }

private:
    TConsoleOutput& out_;
    std::function<bool()> displayBar_;
    const TNumberFormat format_ = TNumberFormat::FromUserLocale();
    std::mutex mutex_;
    std::condition_variable endedCv_;
    bool ended_ = false;
    std::atomic<long> sourcesKept_{0};
    std::atomic<int64_t> bytesInterrupted_{0};
};

// Loads the queue while its texts are held back: a queue that cannot be run is told on
// stderr alone, and the core is brought down before the texts' keeper goes. 0, or the
// exit status when the program ends here.
int LoadQueue(TFerroxCore& core, TCoreSinks sinks, TConsoleOutput& out, const TArguments& args) {
    TLoadTexts loadTexts;
    sinks.StatusLine = &loadTexts;
    core.Attach(sinks);
    const TLoadResult loaded = core.Start();
    const auto texts = loadTexts.Texts();
    if (loaded != TLoadResult::Loaded) {
        const std::string name = args.HaveQueueFile ? args.QueueFile : core.DefaultQueueFile();
        // A queue file that is not there is no queue to run here (the window starts with
        // an empty one).
        const std::string why =
            loaded == TLoadResult::FileMissing
                ? "cannot read queue file " + name + ": " + SysErrorMessage(ENOENT)
                : LoadFailureText(core.StartLoad());
        core.Shutdown();
        core.DetachSinks();
        out.PrintError("ferrox-run: " + why);
        return 2;
    }
    sinks.StatusLine = &out;
    core.Attach(sinks);
    for (const auto& [text, kind] : texts)
        out.SetStatusText(text, kind);
    return 0;
}

// Runs the queue to its end; a signal turns into "&Abort" (its handler has already stopped
// the file in progress). True when the run was aborted.
bool RunToEnd(TFerroxCore& core, TRunnerEvents& events, TConsoleOutput& out) {
    signalledCore = &core;
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

#if FERROX_SLEEP_INHIBITOR
    // A laptop must not suspend half way through a backup; without a bus (ssh, a minimal
    // session) the run goes on as it would anyway.
    TSleepInhibitor inhibitor;
    auto keepAwake = [&] {
        if (RunKeepsSystemAwake(core.Phase().Phase))
            inhibitor.Hold(KeepAwakeReason);
        else
            inhibitor.Release();
    };
#else
    auto keepAwake = [] {};
#endif

    bool aborted = false;
    core.StartPauseResume();
    keepAwake();
    // The run's end wakes this thread at once; meanwhile the progress line is drawn ten
    // times a second.
    while (!events.WaitForEnd(std::chrono::milliseconds(100))) {
        if (stopSignal && !aborted) {
            aborted = true;
            core.AbortOrClose(); // "&Abort" while the run goes on
        }
        keepAwake();
        out.Redraw();
    }
    core.Shutdown();
    signalledCore = nullptr;
    return aborted || stopSignal != 0; // the run may have ended before the loop saw it
}

} // namespace

int main(int argc, char** argv) {
    TArguments args;
    if (std::optional<int> end = ParseArguments(argc, argv, args))
        return *end;
    if (std::optional<int> end = RefuseOptionsThatMeanNothing(args))
        return *end;

    // Output is a courtesy: a reader that went away (ferrox-run | head) must not end the
    // copy, and a file size limit fails the write at hand instead of killing the run.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);

    TraceCreate();
    TConsoleOutput out(args.Quiet, ::isatty(STDOUT_FILENO) == 1);
    TFerroxCore core(args.QueueFile);
    TRunnerEvents events(out, [&core] { return core.Options().DisplayProgressBar; });
    TCoreSinks sinks;
    sinks.RunEvents = &events;
    core.OverrideOptions(args.Options);
    if (int rc = LoadQueue(core, sinks, out, args)) {
        TraceRelease();
        return rc;
    }

    core.SetFlushAtEnd(args.Flush);
    const TLineCounts before = core.CountLines();
    const int64_t bytesBefore = core.BytesCopied();
    const auto start = std::chrono::steady_clock::now();
    const bool aborted = RunToEnd(core, events, out);
    out.EndProgress();

    // A queue without lines has nothing to record; saving it would leave no file at all.
    // A queue file changed by someone else meanwhile is theirs: the queue goes beside it,
    // and the exit status says that the named file does not hold this run's result.
    const std::string queueName = core.QueueFileName();
    const TSaveResult save =
        core.SourceList().RootNodeCount() == 0 ? TSaveResult::Saved : core.SaveQueue();
    const bool saved = save == TSaveResult::Saved;
    std::string notSaved = ", queue file not saved";
    if (save == TSaveResult::SavedBeside) {
        const std::string savedAs = core.QueueFileName();
        out.PrintError("ferrox-run: queue saved as " + savedAs + ": " + queueName +
                       " was changed by another program");
        notSaved = ", queue saved as " + savedAs;
    }

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const TLineCounts after = core.CountLines();
    const int64_t bytes = core.BytesCopied() - bytesBefore;
    TNumberFormat fmt = TNumberFormat::FromUserLocale();
    const long skipped = core.FilesSkipped();
    // The abort's lines show as failed in the queue; the summary tells them apart.
    const long interrupted = core.LinesInterrupted();
    const long failed = after.Failed - interrupted;
    const int64_t thrownAway = events.BytesInterrupted();
    out.PrintLine("ferrox-run: " + std::to_string(after.Done - before.Done) + " lines copied" +
                  (skipped > 0 ? " (" + std::to_string(skipped) + " skipped, target exists)" : "") +
                  ", " + std::to_string(failed) + " failed, " +
                  (interrupted > 0 ? std::to_string(interrupted) + " interrupted, " : "") +
                  std::to_string(after.Waiting) + " not reached, " +
                  FormatNumber(double(bytes), 0, 0, fmt) + " bytes in " +
                  FormatNumber(seconds, 0, 1, fmt) + " s (" +
                  FormatNumber(seconds > 0 ? bytes / seconds / 1024 : 0, 0, 1, fmt) + " KiB/s)" +
                  (thrownAway > 0 ? ", " + FormatNumber(double(thrownAway), 0, 0, fmt) +
                                        " bytes of interrupted lines " + "written and not kept"
                                  : "") +
                  (aborted ? ", aborted" : "") + (saved ? std::string() : notSaved));
    core.DetachSinks();
    TraceRelease();
    return failed > 0 || events.SourcesKept() > 0 || aborted || !saved ? 1 : 0;
}
