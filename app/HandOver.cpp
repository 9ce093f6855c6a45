#include "app/HandOver.h"

#include "platform/LocalSocket.h"
#include "platform/SysError.h"

#include <unistd.h>

namespace ferrox {

THandOverResult HandOver(TFd connection, const TQueueRequest& request, const std::string& socket) {
    const int fd = connection.Get();
    // Our own runtime directory is private to us; a socket there of someone else (a window
    // run with sudo, say) gets none of our paths.
    const int64_t uid = PeerUid(fd);
    if (uid != static_cast<int64_t>(::getuid()))
        return {1, "the window listening at " + socket + " runs as user id " + std::to_string(uid) +
                       "; nothing was queued"};
    // A window that refuses a message before its end (too large, say) answers and closes
    // while we still send: its answer, waiting for us, says why better than the pipe.
    const int sendError = SendAll(fd, EncodeRequest(request));
    std::string received;
    const int error = ReceiveUntil(fd, received, [](std::string_view bytes) {
        return CheckMessage(bytes, AnswerKind, MaxAnswerBody).State != TMessageCheck::NeedMore;
    });
    if (sendError != 0 && !DecodeAnswer(received))
        return {1, "cannot reach the running window: " + SysErrorMessage(sendError)};
    if (error != 0 && !DecodeAnswer(received))
        return {1, "no answer from the running window: " + SysErrorMessage(error)};
    const std::optional<TQueueAnswer> answer = DecodeAnswer(received);
    if (!answer)
        return {1, received.empty() ? "the running window closed before it queued the paths"
                                    : "the running window's answer cannot be read"};
    // Queued: what it says is a note (a destination that found no line to go to).
    return {answer->Queued ? 0 : 1, answer->Reason};
}

} // namespace ferrox
