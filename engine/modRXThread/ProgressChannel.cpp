#include "engine/modRXThread/ProgressChannel.h"

#include "diag/Trace.h"

namespace ferrox {

void CopyProgressCallback(int64_t totalFileSize, int64_t totalBytesTransferred,
                          uint32_t callbackReason, void* data) {
    TTraceScope trace("CopyProgressCallback");
    try {
        auto* channel = static_cast<TProgressChannel*>(data);
        channel->ProgressList.Add({totalFileSize, totalBytesTransferred, callbackReason});
        channel->MonitorEvent.Set();
    } catch (...) {
        // A lost report must never stop the copy.
    }
}

} // namespace ferrox
