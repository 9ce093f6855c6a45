#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "engine/NumberFormat.h"
#include "engine/modRXThread/ProgressChannel.h"

namespace ferrox {

// The progress gauge as the monitor drives it. Called from the monitor's thread: an
// implementation stores the values and lets the window's thread show them.
class IGauge {
public:
    virtual ~IGauge() = default;
    virtual void SetMaxValue(int32_t value) = 0;
    virtual void SetProgress(int32_t value) = 0;
    virtual int32_t MinValue() const = 0;
    virtual void SetText(const std::string& text) = 0;
};

// The status bar's rate panel (its second panel).
class IRatePanel {
public:
    virtual ~IRatePanel() = default;
    virtual void SetRateText(const std::string& text) = 0;
};

// The long-lived thread that turns progress reports into the gauge and the transfer rate.
// Every report is shown, in order; the copy never waits for it.
class TProgressMonitor {
public:
    TProgressMonitor(TProgressChannel& channel, IGauge& gauge, IRatePanel& ratePanel)
        : channel_(channel), gauge_(gauge), ratePanel_(ratePanel) {}
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
    void ShowRecord(const TCopyProgressRec& rec);

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
    IGauge& gauge_;
    IRatePanel& ratePanel_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> running_{false};
    TEvent started_{false};
};

} // namespace ferrox
