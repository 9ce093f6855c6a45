#include "engine/modRXThread/ProgressMonitor.h"

#include "diag/Clock.h"
#include "platform/CopyFile.h"
#include "platform/ThreadName.h"

#include <climits>
#include <cmath>
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

void TProgressMonitor::Run() {
    running_.store(true);
    status_.Show("Processing Thread Started");
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
                    status_.Show(std::string("Exception Error: ") + e.what());
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
            status_.Show(std::string("Exception Error: ") + e.what());
        }
    }
    running_.store(false);
    status_.Show("Processing Thread Shutdown");
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
    if (DisplayProgressBar) {
        // The gauge takes 32-bit values: larger files are shown in scaled units.
        int shift = 0;
        while ((rec.TotalFileSize >> shift) > INT32_MAX)
            ++shift;
        shown.Max = static_cast<int32_t>(rec.TotalFileSize >> shift);
        if (rec.CallbackReason == CALLBACK_STREAM_SWITCH)
            shown.ProgressToMin = true;
        else if (rec.CallbackReason == CALLBACK_CHUNK_FINISHED)
            shown.Progress = static_cast<int32_t>(rec.TotalBytesTransferred >> shift);
    }
    if (!DisplayProgressBar && rec.TotalBytesTransferred != 0) {
        try {
            shown.Text = FormatNumber(double(rec.TotalBytesTransferred), 8, 0, NumberFormat) +
                         " / " + FormatNumber(double(rec.TotalFileSize), 8, 0, NumberFormat);
        } catch (...) {
            // The text is a courtesy; the gauge and the next report go on without it.
        }
    }
    if (rec.TotalBytesTransferred != 0) {
        try {
            auto start =
                std::chrono::system_clock::time_point(std::chrono::nanoseconds(rec.StartNs));
            auto elapsed = ClockNow() - start;
            if (elapsed.count() < 0)
                elapsed = -elapsed;
            auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
            if (seconds != 0) {
                double rate = double(rec.TotalBytesTransferred) / double(seconds) * 60.0 / 1024.0;
                shown.Rate = FormatNumber(rate, 8, 2, NumberFormat) + " K/per min";
            }
        } catch (...) {
            // As above: the rate panel keeps its last text.
        }
    }
    return shown;
}

} // namespace ferrox
