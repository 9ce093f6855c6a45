#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "engine/RunEvents.h"
#include "engine/progress/ProgressChannel.h"
#include "engine/progress/RunFiguresMeter.h"

namespace ferrox {

// How far the file the gauge follows has got.
struct TFileProgress {
    int64_t Size = 0;
    int64_t Done = 0;
    bool Starts = false; // its data begins: the gauge goes back to its start
};

// What a file's copy has moved in the whole seconds since it began: the transfer rate.
struct TTransferRate {
    int64_t Bytes = 0;
    int64_t Seconds = 0;
};

// What the monitor shows for one progress report, as values each face words and scales
// for itself: the followed file's progress and rate, and a few times a second the whole
// run's figures. What is not set stays as it is.
struct TProgressShown {
    std::optional<TFileProgress> File;
    std::optional<TTransferRate> Rate;
    std::optional<TRunFigures> Figures;
};

// Where the monitor's output goes; called on the monitor's thread, never waits for another.
class IProgressSink {
public:
    virtual ~IProgressSink() = default;
    virtual void ShowProgress(const TProgressShown& shown) = 0;
};

// The long-lived thread that turns progress reports into the gauge and the transfer rate.
// Every report is shown, in order; the copy never waits for it.
class TProgressMonitor {
public:
    // events: where its start, its end and what it cannot show are told.
    TProgressMonitor(TProgressChannel& channel, IRunEventSink& events, IProgressSink& sink)
        : channel_(channel), events_(events), sink_(sink), meter_(channel) {}
    ~TProgressMonitor() { Stop(); }
    TProgressMonitor(const TProgressMonitor&) = delete;
    TProgressMonitor& operator=(const TProgressMonitor&) = delete;

    // Starts the thread and returns once it has announced itself, so its first words
    // come before anything the caller shows next.
    void Start();
    // Asks the loop to end, wakes it and waits for it (orderly shutdown, tests).
    void Stop();
    bool Running() const { return running_.load(); }

    // The loop itself.
    void Run();
    // What one report shows. With files side by side the gauge and the rate follow the
    // largest file in flight; the others' reports show nothing.
    TProgressShown ShowRecord(const TCopyProgressRec& rec);
    // How many files it counts in flight (on the monitor's thread, or when it is stopped).
    size_t FilesInFlight() const { return inFlight_.size(); }

    // Pause after a busy pass, so a copy of many small files wakes the monitor (and pays
    // for the wake-up) at a bounded rate; reports simply gather meanwhile.
    std::chrono::milliseconds PaceAfterPass{10};

private:
    void Failed(const char* what); // told as an operation's exception: the monitor goes on

    TProgressChannel& channel_;
    IRunEventSink& events_;
    IProgressSink& sink_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> running_{false};
    TEvent started_{false};
    TEvent stopping_{false}; // cuts the pause after a busy pass short
    TRunFiguresMeter meter_;
    // The last report of each file in flight, on the monitor's thread.
    std::unordered_map<uint64_t, TCopyProgressRec> inFlight_;
};

} // namespace ferrox
