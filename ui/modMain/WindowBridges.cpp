#include "ui/modMain/WindowBridges.h"

#include "ui/common/PathText.h"

#include <QLabel>
#include <QThread>

namespace ferrox {

TCoalescedCall::TCoalescedCall(std::function<void()> apply, int intervalMs, QObject* parent)
    : QObject(parent), apply_(std::move(apply)), intervalMs_(intervalMs), timer_(this) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &TCoalescedCall::Fire);
}

void TCoalescedCall::Poke() {
    // One queued call per burst; the window's thread picks up whatever is latest.
    if (!pending_.exchange(true, std::memory_order_acq_rel))
        QMetaObject::invokeMethod(this, &TCoalescedCall::Arm, Qt::QueuedConnection);
}

void TCoalescedCall::Arm() {
    if (timer_.isActive() || !pending_.load(std::memory_order_acquire))
        return;
    qint64 wait = sinceLast_.isValid() ? intervalMs_ - sinceLast_.elapsed() : 0;
    timer_.start(int(std::max<qint64>(0, wait)));
}

void TCoalescedCall::Fire() {
    // Cleared before the values are read: a change stored meanwhile pokes again.
    pending_.store(false, std::memory_order_release);
    sinceLast_.start();
    apply_();
}

namespace {
bool OnThreadOf(const QObject& object) {
    return QThread::currentThread() == object.thread();
}
} // namespace

TLabelText::TLabelText(QLabel& label) : label_(label), call_([this] { Apply(); }, ShowIntervalMs) {}

void TLabelText::Set(const std::string& text, bool atOnceOnItsThread) {
    {
        std::lock_guard lock(mutex_);
        latest_ = text;
    }
    if (atOnceOnItsThread && OnThreadOf(label_))
        Apply();
    else
        call_.Poke();
}

void TLabelText::Apply() {
    std::string text;
    {
        std::lock_guard lock(mutex_);
        text = latest_;
    }
    const QString shown = ShownPath(text);
    label_.setText(shown);
    // A long text (a path, mostly) is cut at the panel's edge: whole in the tooltip.
    label_.setToolTip(shown.isEmpty() ? QString() : "<p>" + shown.toHtmlEscaped() + "</p>");
}

void TRatePanelBridge::ShowRate(const TTransferRate& rate) {
    {
        std::lock_guard lock(mutex_);
        rate_ = RateText(rate, format_);
    }
    Show();
}

void TRatePanelBridge::ShowLimit() {
    Show();
}

void TRatePanelBridge::Show() {
    std::string rate;
    {
        std::lock_guard lock(mutex_);
        rate = rate_;
    }
    text_.Set(RateWithLimitText(rate, limit_ ? limit_() : 0, format_), false);
}

TRunEventsBridge::TRunEventsBridge(TShow show)
    : show_(std::move(show)), buttonsCall_(show_.Buttons, ShowIntervalMs),
      figuresCall_([this] { ApplyFigures(); }, ShowIntervalMs) {}

void TRunEventsBridge::RunEvent(const TRunEvent& event, const TEventWords& words) {
    if (show_.Event)
        show_.Event(event, words);
    // A folder that failed as a whole leaves its own line, which names it and why, on the
    // status line: "Error copying file [reason]" alone would not say which folder it was.
    const bool folderFailed =
        event.Kind == TRunEvent::LineFailed && event.Stage != TRunEvent::AtFile;
    const std::string* first = folderFailed ? &words.Shown : &words.Logged;
    const std::string* last = folderFailed ? &words.Logged : &words.Shown;
    for (const std::string* text : {first, last})
        if (!text->empty())
            show_.Status(*text);
    if (event.Kind == TRunEvent::PhaseChanged) {
        // A click shows its new caption at once; the worker's changes come coalesced.
        if (QThread::currentThread() == buttonsCall_.thread())
            show_.Buttons();
        else
            buttonsCall_.Poke();
    } else if (event.Kind == TRunEvent::RunEnded) {
        {
            std::lock_guard lock(mutex_);
            figures_.reset();
        }
        figuresCall_.Poke();
    }
}

void TRunEventsBridge::FileProgress(const std::optional<TFileProgress>& file,
                                    const std::optional<TTransferRate>& rate) {
    if (file)
        show_.File(*file);
    if (rate)
        show_.Rate(*rate);
}

void TRunEventsBridge::RunProgress(const TRunFigures& figures) {
    {
        std::lock_guard lock(mutex_);
        figures_ = figures;
    }
    figuresCall_.Poke();
}

void TRunEventsBridge::ApplyFigures() {
    std::optional<TRunFigures> figures;
    {
        std::lock_guard lock(mutex_);
        figures = figures_;
    }
    show_.Figures(figures);
}

} // namespace ferrox
