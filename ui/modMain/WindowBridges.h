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
#include "core/RunFiguresText.h"
#include "platform/NumberFormat.h"

#include <QString>
#include <climits>

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

// The rate panel (status panel 1): a copy's rate in the user's number format, and the
// speed cap in force (asked of `limit`, from any thread).
class TRatePanelBridge {
public:
    TRatePanelBridge(QLabel& panel, std::function<int64_t()> limit)
        : text_(panel), limit_(std::move(limit)) {}
    void ShowRate(const TTransferRate& rate);
    // The cap changed: the last rate shows again with it.
    void ShowLimit();

private:
    void Show();
    const TNumberFormat format_ = TNumberFormat::FromUserLocale();
    TLabelText text_;
    std::function<int64_t()> limit_;
    std::mutex mutex_;
    std::string rate_; // the last rate's words
};

// The gauge as the monitor drives it: the latest file's progress is kept and put on the
// widget, scaled to the widget's 32-bit values, or as byte counts in its text when the
// options want no bar (asked on the window's thread). Gauge is any widget with the
// gauge's setters.
template <class Gauge> class TGaugeBridge {
public:
    TGaugeBridge(Gauge& gauge, std::function<bool()> displayBar)
        : gauge_(gauge), displayBar_(std::move(displayBar)),
          call_([this] { Apply(); }, ShowIntervalMs) {}
    void ShowFile(const TFileProgress& file) {
        std::lock_guard lock(mutex_);
        // A file's start must show even when chunks follow before the window looks.
        if (file.Starts)
            started_ = true;
        file_ = file;
        set_ = true;
        call_.Poke();
    }

private:
    void Apply() {
        TFileProgress file;
        bool started;
        {
            std::lock_guard lock(mutex_);
            if (!set_)
                return;
            file = file_;
            started = started_ && file.Starts;
            set_ = started_ = false;
        }
        if (displayBar_ && !displayBar_()) {
            if (file.Done != 0)
                gauge_.SetText(
                    QString::fromStdString(ByteCountText(file.Done, file.Size, format_)));
            return;
        }
        // The widget takes 32-bit values: larger files are shown in scaled units.
        int shift = 0;
        while ((file.Size >> shift) > INT32_MAX)
            ++shift;
        gauge_.SetMaxValue(static_cast<int32_t>(file.Size >> shift));
        gauge_.SetProgress(started ? gauge_.MinValue() : static_cast<int32_t>(file.Done >> shift));
    }

    Gauge& gauge_;
    std::function<bool()> displayBar_;
    const TNumberFormat format_ = TNumberFormat::FromUserLocale();
    std::mutex mutex_;
    TFileProgress file_;
    bool set_ = false;
    bool started_ = false;
    TCoalescedCall call_;
};

// What a run tells the window: its words go to the status line; a change of phase is shown
// on the run buttons (right away on the window's thread, coalesced from the worker's); the
// current file's progress and rate go to the gauge and the rate panel; the run's figures
// go to the title and the gauge's tooltip while it runs, which are put back when it ends.
class TRunEventsBridge : public IRunEvents {
public:
    struct TShow {
        std::function<void()> Buttons;
        // The latest figures, or none once the run has ended.
        std::function<void(const std::optional<TRunFigures>&)> Figures;
        std::function<void(const std::string&)> Status;
        std::function<void(const TFileProgress&)> File;
        std::function<void(const TTransferRate&)> Rate;
        // Every event with its words, on the thread that told it (the desktop's share).
        std::function<void(const TRunEvent&, const TEventWords&)> Event;
    };
    explicit TRunEventsBridge(TShow show);
    void RunEvent(const TRunEvent& event, const TEventWords& words) override;
    void FileProgress(const std::optional<TFileProgress>& file,
                      const std::optional<TTransferRate>& rate) override;
    void RunProgress(const TRunFigures& figures) override;

private:
    void ApplyFigures();

    TShow show_;
    TCoalescedCall buttonsCall_;
    std::mutex mutex_;
    std::optional<TRunFigures> figures_; // none: no run
    TCoalescedCall figuresCall_;
};

} // namespace ferrox
