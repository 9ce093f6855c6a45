#include "ui/modMain/DesktopPresence.h"

#include "core/RunAwake.h"

namespace ferrox {

TDesktopPresence::TDesktopPresence(TWindow window, QDBusConnection sessionBus,
                                   std::unique_ptr<TSleepInhibitor> inhibitor)
    : window_(std::move(window)), inhibitor_(std::move(inhibitor)),
      launcher_(sessionBus, DesktopId), notifier_(sessionBus, DesktopId),
      call_([this] { Apply(); }, ShowIntervalMs) {}

std::chrono::steady_clock::time_point TDesktopPresence::Now() const {
    return window_.Now ? window_.Now() : std::chrono::steady_clock::now();
}

void TDesktopPresence::RunEvent(const TRunEvent& event, const TEventWords& words) {
    if (event.Kind == TRunEvent::PhaseChanged) {
        std::lock_guard lock(mutex_);
        if (phase_ == TRunPhase::Idle && event.Phase.Phase != TRunPhase::Idle) {
            started_ = Now();
            longRunEnded_.reset();
        }
        phase_ = event.Phase.Phase;
    } else if (event.Kind == TRunEvent::RunEnded) {
        std::lock_guard lock(mutex_);
        if (Now() - started_ > NotifyAfter)
            longRunEnded_ = words.Shown;
    } else {
        return;
    }
    call_.Poke();
}

void TDesktopPresence::ShowFigures(const std::optional<TRunFigures>& figures) {
    if (figures)
        launcher_.Show(figures->Percent / 100.0);
    else
        launcher_.Hide();
}

void TDesktopPresence::Apply() {
    TRunPhase phase;
    std::optional<std::string> ended;
    {
        std::lock_guard lock(mutex_);
        phase = phase_;
        ended.swap(longRunEnded_);
    }
    if (RunKeepsSystemAwake(phase))
        inhibitor_->Hold(KeepAwakeReason);
    else
        inhibitor_->Release();
    if (phase == TRunPhase::Idle)
        launcher_.Hide();
    // The user who watches the window has seen the end on its status line.
    if (ended && !(window_.Active && window_.Active()))
        notifier_.Notify(QString::fromStdString(*ended), QString(), window_.Raise);
}

} // namespace ferrox
