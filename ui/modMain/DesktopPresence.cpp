#include "ui/modMain/DesktopPresence.h"

#include "core/RunAwake.h"
#include "platform/ThreadName.h"

namespace ferrox {

TDesktopPresence::TDesktopPresence(TWindow window, QDBusConnection sessionBus,
                                   std::unique_ptr<TSleepInhibitor> inhibitor)
    : window_(std::move(window)), inhibitor_(std::move(inhibitor)),
      launcher_(sessionBus, DesktopId), notifier_(sessionBus, DesktopId),
      call_([this] { Apply(); }, ShowIntervalMs) {
    inhibitThread_ = std::thread([this] { InhibitorThread(); });
}

TDesktopPresence::~TDesktopPresence() {
    {
        std::lock_guard lock(inhibitMutex_);
        inhibitStop_ = true;
    }
    inhibitWake_.notify_one();
    inhibitThread_.join();
}

void TDesktopPresence::KeepAwake(bool awake) {
    {
        std::lock_guard lock(inhibitMutex_);
        awakeWanted_ = awake;
    }
    inhibitWake_.notify_one();
}

void TDesktopPresence::InhibitorThread() {
    NameThisThread("ferrox-inhibit");
    std::unique_lock lock(inhibitMutex_);
    bool held = false;
    for (;;) {
        inhibitWake_.wait(lock, [&] { return inhibitStop_ || awakeWanted_ != held; });
        if (inhibitStop_)
            break;
        held = awakeWanted_;
        // The latest wish counts: what was asked meanwhile is looked at after the call.
        lock.unlock();
        if (held)
            inhibitor_->Hold(KeepAwakeReason);
        else
            inhibitor_->Release();
        lock.lock();
    }
    lock.unlock();
    inhibitor_->Release();
}

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
    KeepAwake(RunKeepsSystemAwake(phase));
    if (phase == TRunPhase::Idle)
        launcher_.Hide();
    // The user who watches the window has seen the end on its status line.
    if (ended && !(window_.Active && window_.Active()))
        notifier_.Notify(QString::fromStdString(*ended), QString(), window_.Raise);
}

} // namespace ferrox
