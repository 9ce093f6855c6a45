#include "engine/modRXThread/ProgressChannel.h"

#include "diag/Trace.h"

namespace ferrox {

TProgressList ProgressList;
TEvent MonitorEvent;
std::atomic<int64_t> CopyStartTime{0};
std::atomic<int64_t> TotalBytesCopied{0};

void CopyProgressCallback(int64_t totalFileSize, int64_t totalBytesTransferred,
                          uint32_t callbackReason, void*) {
    TTraceScope trace("CopyProgressCallback");
    try {
        ProgressList.Add({totalFileSize, totalBytesTransferred, callbackReason});
        MonitorEvent.Set();
    } catch (...) {
        // A lost report must never stop the copy.
    }
}

} // namespace ferrox
