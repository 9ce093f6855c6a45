#include "diag/StatusLine.h"

#include "diag/Trace.h"

#include <mutex>
#include <shared_mutex>

namespace ferrox {

namespace {
std::shared_mutex sinkMutex;
IStatusLine* statusSink = nullptr;
} // namespace

IStatusLine* SetStatusLine(IStatusLine* sink) {
    std::unique_lock lock(sinkMutex);
    IStatusLine* old = statusSink;
    statusSink = sink;
    return old;
}

namespace {
void Show(std::string_view text, bool failure) {
    TTraceScope trace("ShowStatus");
    try {
        std::shared_lock lock(sinkMutex);
        if (!statusSink)
            return;
        if (failure)
            statusSink->SetFailureText(std::string(text));
        else
            statusSink->SetStatusText(std::string(text));
    } catch (...) {
        // The status line is best effort.
    }
}
} // namespace

void ShowStatus(std::string_view text) {
    Show(text, false);
}

void ShowFailure(std::string_view text) {
    Show(text, true);
}

} // namespace ferrox
