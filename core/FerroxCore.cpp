#include "core/FerroxCore.h"

#include "engine/FileCopy.h"
#include "persist/ExePath.h"
#include "persist/Options.h"

#include <mutex>

namespace ferrox {

void TFerroxCore::TGaugeRelay::Set(IGauge* target) {
    std::unique_lock lock(mutex_);
    target_ = target;
}
void TFerroxCore::TGaugeRelay::SetMaxValue(int32_t value) {
    std::shared_lock lock(mutex_);
    if (target_)
        target_->SetMaxValue(value);
}
void TFerroxCore::TGaugeRelay::SetProgress(int32_t value) {
    std::shared_lock lock(mutex_);
    if (target_)
        target_->SetProgress(value);
}
int32_t TFerroxCore::TGaugeRelay::MinValue() const {
    std::shared_lock lock(mutex_);
    return target_ ? target_->MinValue() : 0;
}
void TFerroxCore::TGaugeRelay::SetText(const std::string& text) {
    std::shared_lock lock(mutex_);
    if (target_)
        target_->SetText(text);
}

void TFerroxCore::TRatePanelRelay::Set(IRatePanel* target) {
    std::unique_lock lock(mutex_);
    target_ = target;
}
void TFerroxCore::TRatePanelRelay::SetRateText(const std::string& text) {
    std::shared_lock lock(mutex_);
    if (target_)
        target_->SetRateText(text);
}

void TFerroxCore::TRunEventsRelay::Set(IRunEvents* target) {
    std::unique_lock lock(mutex_);
    target_ = target;
}
void TFerroxCore::TRunEventsRelay::FileStarted(const std::string& source) {
    std::shared_lock lock(mutex_);
    if (target_)
        target_->FileStarted(source);
}
void TFerroxCore::TRunEventsRelay::FileFinished(const std::string& source, int errorCode) {
    std::shared_lock lock(mutex_);
    if (target_)
        target_->FileFinished(source, errorCode);
}
void TFerroxCore::TRunEventsRelay::SourceNotRemoved(const std::string& source, int errorCode) {
    std::shared_lock lock(mutex_);
    if (target_)
        target_->SourceNotRemoved(source, errorCode);
}
void TFerroxCore::TRunEventsRelay::LineFailed(const std::string& source, int errorCode,
                                              const std::string& where) {
    std::shared_lock lock(mutex_);
    if (target_)
        target_->LineFailed(source, errorCode, where);
}
void TFerroxCore::TRunEventsRelay::RunEnded(bool aborted) {
    std::shared_lock lock(mutex_);
    if (target_)
        target_->RunEnded(aborted);
}
void TFerroxCore::TRunEventsRelay::ButtonsChanged() {
    std::shared_lock lock(mutex_);
    if (target_)
        target_->ButtonsChanged();
}

TFerroxCore::TFerroxCore(std::string queueFileName) : defaultQueueFile_(std::move(queueFileName)) {
    Run.SetEvents(&runEvents_);
    // Every change a command makes is saved while the queue is small.
    Queue.SetAutosave([this] { QueueFile.SaveQueue(false, false, ""); });
    Control.SaveQueueOnClose = [this] { QueueFile.SaveQueue(true, true, ""); };
}

TFerroxCore::~TFerroxCore() {
    Shutdown();
    DetachSinks();
}

void TFerroxCore::Attach(const TCoreSinks& sinks) {
    if (sinks.StatusLine) {
        SetStatusLine(sinks.StatusLine);
        statusAttached_ = true;
    }
    gauge_.Set(sinks.Gauge);
    ratePanel_.Set(sinks.RatePanel);
    runEvents_.Set(sinks.RunEvents);
    QueueFile.PleaseWait = sinks.PleaseWait;
    QueueFile.ProcessEvents = sinks.ProcessEvents;
    Control.ProcessEvents = sinks.ProcessEvents;
    Control.EnableMainButtons = sinks.EnableMainButtons;
    Control.CloseProgram = sinks.CloseProgram;
    Commands.BrowseDialog = sinks.BrowseDialog;
}

void TFerroxCore::DetachSinks() {
    if (statusAttached_) {
        SetStatusLine(nullptr);
        statusAttached_ = false;
    }
    gauge_.Set(nullptr);
    ratePanel_.Set(nullptr);
    runEvents_.Set(nullptr);
    QueueFile.PleaseWait = nullptr;
    QueueFile.ProcessEvents = nullptr;
    Control.ProcessEvents = nullptr;
    Control.EnableMainButtons = nullptr;
    Control.CloseProgram = nullptr;
    Commands.BrowseDialog = nullptr;
}

TLoadResult TFerroxCore::Start() {
    Run.CopyRunning.store(false);
    Run.CopyThisLineOnly.store(false);
    const std::string& programDirectory = ExePath();
    Run.PauseEvent.Set();
    QueueFile.QueueFileName =
        defaultQueueFile_.empty() ? programDirectory + "QUEUE.INI" : defaultQueueFile_;
    options_ = LoadOptions();
    // The engine takes the switches as plain values.
    Run.DeleteToRecycle.store(options_.DeleteToRecycle);
    monitor_.DisplayProgressBar = options_.DisplayProgressBar;
    // The monitor has announced itself when Start returns: its words come before what
    // the load shows, and its trace entries never mix with the load's.
    monitor_.Start();
    return QueueFile.LoadQueue(false, "");
}

void TFerroxCore::Shutdown() {
    if (shutDown_)
        return;
    shutDown_ = true;
    // Each step on its own: a failure must not keep the threads behind it running.
    try {
        Control.ReleaseWorker();
    } catch (...) {
    }
    try {
        monitor_.Stop();
    } catch (...) {
    }
    Run.Progress.ProgressList.Clear();
}

} // namespace ferrox
