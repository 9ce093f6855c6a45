#include "engine/progress/ProgressChannel.h"

#include "diag/Trace.h"

#include <chrono>

namespace ferrox {

void CopyProgressCallback(TCopyReporter& reporter, const TCopyProgress& progress) {
    TTraceScope trace("CopyProgressCallback");
    try {
        TProgressChannel* channel = reporter.Channel;
        const int64_t totalBytesTransferred = progress.Done;
        const uint32_t callbackReason =
            progress.Starts ? CALLBACK_STREAM_SWITCH : CALLBACK_CHUNK_FINISHED;
        if (progress.Starts)
            channel->Devices.Add(progress.Device);
        channel->ProgressList.Add({progress.Size, totalBytesTransferred, callbackReason,
                                   reporter.File, reporter.StartNs});
        const int64_t moved = totalBytesTransferred - reporter.Reported;
        reporter.Reported = totalBytesTransferred;
        const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count();
        if (callbackReason == CALLBACK_CHUNK_FINISHED && moved > 0 && reporter.LastStampNs) {
            channel->DataNanos.fetch_add(now - reporter.LastStampNs, std::memory_order_relaxed);
            channel->DataBytes.fetch_add(moved, std::memory_order_relaxed);
        }
        reporter.LastStampNs = now;
        if (moved != 0) {
            channel->BytesMoved.fetch_add(moved, std::memory_order_relaxed);
            if (moved > 0)
                channel->BytesPaced.fetch_add(moved, std::memory_order_relaxed);
        }
        channel->MonitorEvent.Set();
    } catch (...) {
        // A lost report must never stop the copy.
    }
}

void ReportCopyEnded(const TCopyReporter& reporter) {
    if (!reporter.Channel || reporter.LastStampNs == 0)
        return;
    try {
        // No wake-up: the monitor finds it on its next pass.
        reporter.Channel->ProgressList.Add(
            {0, reporter.Reported, REPORT_COPY_ENDED, reporter.File, reporter.StartNs});
    } catch (...) {
    }
}

} // namespace ferrox
