#include "core/FaceRelay.h"

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
    std::shared_lock lock(mutex_);
    IRunEvents* events = sinks_.RunEvents;
    if (!events)
        return;
    switch (e.Kind) {
    case TRunEvent::FileStarted:
        events->FileStarted(e.Line, e.Path);
        break;
    case TRunEvent::FileFinished:
        events->FileFinished(e.Line, e.Path, e.Code);
        break;
    case TRunEvent::SourceNotRemoved:
        events->SourceNotRemoved(e.Line, e.Path, e.Code);
        break;
    case TRunEvent::LineFailed:
        events->LineFailed(e.Line, e.Path, e.Code, e.Where);
        break;
    case TRunEvent::LineInterrupted:
        events->LineInterrupted(e.Line, e.Path, e.Bytes, e.Size);
        break;
    case TRunEvent::RunEnded:
        events->RunEnded(e.Aborted);
        break;
    case TRunEvent::PhaseChanged:
        events->PhaseChanged();
        break;
    }
}

void TFaceRelay::ShowProgress(const TProgressShown& shown) {
    std::shared_lock lock(mutex_);
    if (IGauge* gauge = sinks_.Gauge) {
        if (shown.Max)
            gauge->SetMaxValue(*shown.Max);
        if (shown.ProgressToMin)
            gauge->SetProgress(gauge->MinValue());
        if (shown.Progress)
            gauge->SetProgress(*shown.Progress);
        if (shown.Text)
            gauge->SetText(*shown.Text);
    }
    if (shown.Rate && sinks_.RatePanel)
        sinks_.RatePanel->SetRateText(*shown.Rate);
    if (shown.Figures && sinks_.RunEvents)
        sinks_.RunEvents->RunProgress(*shown.Figures);
}

void TFaceRelay::PleaseWait(bool shown) const {
    if (IPleaseWait* box = Sinks().PleaseWait)
        shown ? box->ShowPleaseWait() : box->HidePleaseWait();
}

void TFaceRelay::ProcessEvents() const {
    if (auto process = Sinks().ProcessEvents)
        process();
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
