#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferrox {

// What a `ferrox` command asks the window to queue. Paths are absolute byte strings,
// kept exactly as given.
struct TQueueRequest {
    // Dropped on the source list, in this order.
    std::vector<std::string> Paths = {};
    // Then dropped on the destination list.
    std::optional<std::string> Destination = std::nullopt;
    // The new source lines are moves.
    bool Move = false;
    // A run starts afterwards unless one is going on.
    bool CopyNow = false;
    bool operator==(const TQueueRequest&) const = default;
};

// The window's word on a request.
struct TQueueAnswer {
    bool Queued = false;
    std::string Reason; // why not, for the caller to show
    bool operator==(const TQueueAnswer&) const = default;
};

// Requests and answers travel as whole messages: a 4-byte kind, the body's length (4
// bytes, big-endian), the body. Nothing is acted on before the whole message is there and
// has been read without a fault, so a message cut short or garbled changes nothing.
inline constexpr std::string_view RequestKind = "FXQ1";
inline constexpr std::string_view AnswerKind = "FXA1";
inline constexpr size_t MessageHeaderSize = 8;
// A request body larger than this is refused unread: 16 MiB hold some 60,000 long paths.
inline constexpr size_t MaxRequestBody = 16u << 20;
inline constexpr size_t MaxAnswerBody = 64u << 10;

std::string EncodeRequest(const TQueueRequest& request);
std::string EncodeAnswer(const TQueueAnswer& answer);

// How far the bytes received so far on a connection (which carries one message) are.
struct TMessageCheck {
    enum TState {
        NeedMore, // not whole yet
        Whole,    // exactly one message
        Broken,   // never a message of this kind: Why says why
    } State = NeedMore;
    std::string Why;
};
TMessageCheck CheckMessage(std::string_view received, std::string_view kind, size_t maxBody);

// The request in a whole message, or why it is none (Why): a message that does not
// follow the format to its last byte is refused whole.
struct TDecodedRequest {
    std::optional<TQueueRequest> Request;
    std::string Why;
};
TDecodedRequest DecodeRequest(std::string_view message);
// The answer in a whole message; none when it is not one.
std::optional<TQueueAnswer> DecodeAnswer(std::string_view message);

} // namespace ferrox
