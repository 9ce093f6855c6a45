#include "core/FaceRelay.h"

#include "diag/ErrorLog.h"

#include <mutex>

namespace ferrox {

void TFaceRelay::Set(const TCoreSinks& sinks) {
    std::unique_lock lock(mutex_);
    sinks_ = sinks;
}

TCoreSinks TFaceRelay::Sinks() const {
    std::shared_lock lock(mutex_);
    return sinks_;
}

void TFaceRelay::ShowStatus(const std::string& text, TStatusKind kind) {
    std::shared_lock lock(mutex_);
    if (sinks_.StatusLine)
        sinks_.StatusLine->SetStatusText(text, kind);
}

void TFaceRelay::Tell(const TRunEvent& e) {
    // The error log is the core's, whichever face is attached (or none): a line that
    // cannot be written is not shown either.
    TEventWords words = WordsOf(e);
    if (!words.Logged.empty() && !AppendToErrorLog(words.Logged))
        words.Logged.clear();
    std::shared_lock lock(mutex_);
    if (IRunEvents* events = sinks_.RunEvents)
        events->RunEvent(e, words);
}

void TFaceRelay::ShowProgress(const TProgressShown& shown) {
    std::shared_lock lock(mutex_);
    IRunEvents* events = sinks_.RunEvents;
    if (!events)
        return;
    if (shown.File || shown.Rate)
        events->FileProgress(shown.File, shown.Rate);
    if (shown.Figures)
        events->RunProgress(*shown.Figures);
}

void TFaceRelay::PleaseWait(bool shown) const {
    if (IPleaseWait* box = Sinks().PleaseWait)
        shown ? box->ShowPleaseWait() : box->HidePleaseWait();
}

void TFaceRelay::RunOnFaceThread(std::function<void()> task) {
    std::shared_lock lock(mutex_);
    if (sinks_.RunOnFaceThread)
        sinks_.RunOnFaceThread(std::move(task));
}

void TFaceRelay::EnableMainButtons(bool enabled) const {
    if (auto enable = Sinks().EnableMainButtons)
        enable(enabled);
}

void TFaceRelay::CloseProgram() const {
    if (auto close = Sinks().CloseProgram)
        close();
}

std::optional<std::string> TFaceRelay::Browse(const std::string& caption,
                                              const std::string& start) const {
    if (auto browse = Sinks().BrowseDialog)
        return browse(caption, start);
    return std::nullopt; // no dialog: a cancel
}

} // namespace ferrox
