#pragma once
#include <string>

#include "core/QueueRequest.h"
#include "platform/Fd.h"

namespace ferrox {

// What became of a request handed to the running window: the exit status, and what to
// print on stderr (empty when all went as asked; the window's note when it was queued
// with one).
struct THandOverResult {
    int ExitStatus = 1;
    std::string Message;
};

// Sends the request over the connection to the window listening at `socket` and waits
// for its answer: 0 once the window has queued it, 1 with the reason when it refused it,
// answered nothing, or is another user's.
THandOverResult HandOver(TFd connection, const TQueueRequest& request, const std::string& socket);

} // namespace ferrox
