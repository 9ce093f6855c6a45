#include "engine/modRXThread/ProgressChannel.h"

#include "diag/Trace.h"

namespace ferrox {

void CopyProgressCallback(int64_t totalFileSize, int64_t totalBytesTransferred,
                          uint32_t callbackReason, void* data) {
    TTraceScope trace("CopyProgressCallback");
    try {
        auto* reporter = static_cast<TCopyReporter*>(data);
        TProgressChannel* channel = reporter->Channel;
        channel->ProgressList.Add({totalFileSize, totalBytesTransferred, callbackReason});
        const int64_t moved = totalBytesTransferred - reporter->Reported;
        reporter->Reported = totalBytesTransferred;
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

} // namespace ferrox
