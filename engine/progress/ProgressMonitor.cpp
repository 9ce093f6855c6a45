#include "engine/progress/ProgressMonitor.h"

#include "diag/Clock.h"
#include "platform/CopyFile.h"
#include "platform/ThreadName.h"

#include <exception>

namespace ferrox {

void TProgressMonitor::Start() {
    // Cleared here, not by the thread: a Stop right after Start must not be lost.
    stop_.store(false);
    stopping_.Reset();
    started_.Reset();
    thread_ = std::thread([this] {
        NameThisThread("ferrox-monitor");
        Run();
    });
    started_.Wait();
}

void TProgressMonitor::Stop() {
    if (!thread_.joinable())
        return;
    stop_.store(true);
    stopping_.Set();
    channel_.MonitorEvent.Set();
    thread_.join();
}

void TProgressMonitor::Failed(const char* what) {
    TRunEvent failed{TRunEvent::Exception};
    failed.Text = what;
    failed.InRun = false;
    events_.Tell(failed);
}

void TProgressMonitor::Run() {
    running_.store(true);
    events_.Tell({TRunEvent::MonitorStarted});
    started_.Set();
    TProgressList& records = channel_.ProgressList;
    while (!stop_.load()) {
        try {
            TCopyProgressRec rec;
            bool drained = false;
            while (records.First(rec)) {
                try {
                    sink_.ShowProgress(ShowRecord(rec));
                } catch (const std::exception& e) {
                    // This record cannot be shown; the ones behind it still are.
                    Failed(e.what());
                }
                records.RemoveFirst();
                drained = true;
            }
            if (std::optional<TRunFigures> figures = meter_.Update(ClockNow())) {
                TProgressShown shown;
                shown.Figures = std::move(figures);
                sink_.ShowProgress(shown);
            }
            if (stop_.load())
                break;
            if (drained && PaceAfterPass.count() > 0)
                stopping_.WaitFor(PaceAfterPass);
            // While a run counts, the figures move on even when no file reports (a pause,
            // a slow disk).
            if (channel_.Run.Counting.load())
                channel_.MonitorEvent.WaitFor(TRunFiguresMeter::ShowEvery);
            else
                channel_.MonitorEvent.Wait();
            channel_.MonitorEvent.Reset();
        } catch (const std::exception& e) {
            Failed(e.what());
        }
    }
    running_.store(false);
    events_.Tell({TRunEvent::MonitorStopped});
}

TProgressShown TProgressMonitor::ShowRecord(const TCopyProgressRec& rec) {
    TProgressShown shown;
    if (rec.CallbackReason == REPORT_COPY_ENDED) {
        inFlight_.erase(rec.File);
        return shown;
    }
    // Which file the gauge follows: this one, unless a larger one is in flight beside it.
    const bool finished = rec.CallbackReason == CALLBACK_CHUNK_FINISHED &&
                          rec.TotalBytesTransferred >= rec.TotalFileSize;
    bool followed = true;
    for (const auto& [file, other] : inFlight_)
        if (file != rec.File && other.TotalFileSize > rec.TotalFileSize)
            followed = false;
    if (finished)
        inFlight_.erase(rec.File);
    else
        inFlight_[rec.File] = rec;
    if (!followed)
        return shown;
    shown.File = TFileProgress{rec.TotalFileSize, rec.TotalBytesTransferred,
                               rec.CallbackReason == CALLBACK_STREAM_SWITCH};
    if (rec.TotalBytesTransferred != 0) {
        auto start = std::chrono::system_clock::time_point(std::chrono::nanoseconds(rec.StartNs));
        auto elapsed = ClockNow() - start;
        if (elapsed.count() < 0)
            elapsed = -elapsed;
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
        if (seconds != 0)
            shown.Rate = TTransferRate{rec.TotalBytesTransferred, int64_t(seconds)};
    }
    return shown;
}

} // namespace ferrox
