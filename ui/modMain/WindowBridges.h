#pragma once
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "core/FaceSinks.h"

class QLabel;

namespace ferrox {

// Runs a function on the window's thread soon after Poke, at most once per interval
// however often it is poked. Poke may be called from any thread and never waits.
class TCoalescedCall : public QObject {
    Q_OBJECT
public:
    TCoalescedCall(std::function<void()> apply, int intervalMs, QObject* parent = nullptr);
    void Poke();

private:
    void Arm();
    void Fire();

    std::function<void()> apply_;
    int intervalMs_;
    std::atomic<bool> pending_{false};
    QTimer timer_;
    QElapsedTimer sinceLast_;
};

// Coalescing interval of everything the worker and the monitor show.
inline constexpr int ShowIntervalMs = 50;

// A label that any thread gives a text; the window shows the latest one, coalesced.
class TLabelText {
public:
    explicit TLabelText(QLabel& label);
    // On the label's own thread the text shows at once when `atOnceOnItsThread`.
    void Set(const std::string& text, bool atOnceOnItsThread);

private:
    void Apply();
    QLabel& label_;
    std::mutex mutex_;
    std::string latest_;
    TCoalescedCall call_;
};

// The status line (status panel 0): a command's own message shows at once.
class TStatusBridge : public IStatusLine {
public:
    explicit TStatusBridge(QLabel& panel) : text_(panel) {}
    void SetStatusText(const std::string& text, TStatusKind) override { text_.Set(text, true); }

private:
    TLabelText text_;
};

// The rate panel (status panel 1).
class TRatePanelBridge : public IRatePanel {
public:
    explicit TRatePanelBridge(QLabel& panel) : text_(panel) {}
    void SetRateText(const std::string& text) override { text_.Set(text, false); }

private:
    TLabelText text_;
};

// The gauge as the monitor drives it: the latest maximum, progress and text are kept and
// put on the widget together. Gauge is any widget with the gauge's setters.
template <class Gauge> class TGaugeBridge : public IGauge {
public:
    explicit TGaugeBridge(Gauge& gauge)
        : gauge_(gauge), minValue_(gauge.MinValue()), call_([this] { Apply(); }, ShowIntervalMs) {}
    void SetMaxValue(int32_t value) override {
        std::lock_guard lock(mutex_);
        max_ = value;
        valuesSet_ = true;
        call_.Poke();
    }
    void SetProgress(int32_t value) override {
        std::lock_guard lock(mutex_);
        progress_ = value;
        valuesSet_ = true;
        call_.Poke();
    }
    int32_t MinValue() const override { return minValue_.load(); }
    void SetText(const std::string& text) override {
        std::lock_guard lock(mutex_);
        text_ = text;
        textSet_ = true;
        call_.Poke();
    }

private:
    void Apply() {
        int32_t max, progress;
        bool valuesSet, textSet;
        std::string text;
        {
            std::lock_guard lock(mutex_);
            max = max_;
            progress = progress_;
            valuesSet = valuesSet_;
            textSet = textSet_;
            text = text_;
            valuesSet_ = textSet_ = false;
        }
        if (valuesSet) {
            gauge_.SetMaxValue(max);
            gauge_.SetProgress(progress);
        }
        if (textSet)
            gauge_.SetText(QString::fromStdString(text));
        minValue_.store(gauge_.MinValue());
    }

    Gauge& gauge_;
    std::atomic<int32_t> minValue_;
    std::mutex mutex_;
    int32_t max_ = 0;
    int32_t progress_ = 0;
    bool valuesSet_ = false;
    bool textSet_ = false;
    std::string text_;
    TCoalescedCall call_;
};

// What a run tells the window: a change of the run buttons' texts is shown (right away
// on the window's thread, coalesced from the worker's); the run's figures go to the title
// and the gauge's tooltip while it runs, which are put back when it ends.
class TRunEventsBridge : public IRunEvents {
public:
    // showFigures gets the latest figures, or none once the run has ended.
    TRunEventsBridge(std::function<void()> showButtons,
                     std::function<void(const std::optional<TRunFigures>&)> showFigures);
    void PhaseChanged() override;
    void RunProgress(const TRunFigures& figures) override;
    void RunEnded(bool aborted) override;

private:
    void ApplyFigures();

    std::function<void()> showButtons_;
    std::function<void(const std::optional<TRunFigures>&)> showFigures_;
    TCoalescedCall buttonsCall_;
    std::mutex mutex_;
    std::optional<TRunFigures> figures_; // none: no run
    TCoalescedCall figuresCall_;
};

} // namespace ferrox
