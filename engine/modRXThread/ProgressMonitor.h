#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "diag/StatusLine.h"
#include "engine/modRXThread/ProgressChannel.h"
#include "engine/modRXThread/RunFiguresMeter.h"
#include "platform/NumberFormat.h"

namespace ferrox {

// What the monitor shows for one progress report, to be applied in this order: the
// gauge's maximum, its position (or its minimum, at the start of a file), its text, and
// the rate panel's text. What is not set stays as it is.
struct TProgressShown {
    std::optional<int32_t> Max;
    bool ProgressToMin = false;
    std::optional<int32_t> Progress;
    std::optional<std::string> Text;
    std::optional<std::string> Rate;
    // The whole run's figures, a few times a second while a run goes on.
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
    TProgressMonitor(TProgressChannel& channel, TStatusLine& status, IProgressSink& sink)
        : channel_(channel), status_(status), sink_(sink), meter_(channel) {}
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

    // Seams for tests, set before Start (the clock is diag's SetClock).
    TNumberFormat NumberFormat = TNumberFormat::FromUserLocale();
    // The gauge shows the bar (true) or the byte counts as its text; the option as read
    // at start-up.
    bool DisplayProgressBar = true;
    // Pause after a busy pass, so a copy of many small files wakes the monitor (and pays
    // for the wake-up) at a bounded rate; reports simply gather meanwhile.
    std::chrono::milliseconds PaceAfterPass{10};

private:
    TProgressChannel& channel_;
    TStatusLine& status_;
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
