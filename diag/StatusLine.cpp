#include "diag/StatusLine.h"

#include "diag/Trace.h"

#include <mutex>

namespace ferrox {

void TStatusLine::SetSink(TSink sink) {
    std::unique_lock lock(mutex_);
    sink_ = std::move(sink);
}

void TStatusLine::Put(std::string_view text, TStatusKind kind) {
    TTraceScope trace("ShowStatus");
    try {
        std::shared_lock lock(mutex_);
        if (sink_)
            sink_(std::string(text), kind);
    } catch (...) {
        // The status line is best effort.
    }
}

} // namespace ferrox
