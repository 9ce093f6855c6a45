#include "core/instance/QueueRequest.h"

#include <algorithm>
#include <cstdint>

namespace ferrox {

namespace {

enum : uint8_t { FlagMove = 1, FlagCopyNow = 2, FlagDestination = 4 };

void PutU32(std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

uint32_t GetU32(std::string_view bytes) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<uint8_t>(bytes[i]);
    return value;
}

void PutString(std::string& out, std::string_view text) {
    PutU32(out, static_cast<uint32_t>(text.size()));
    out.append(text);
}

std::string Framed(std::string_view kind, const std::string& body) {
    std::string message(kind);
    PutU32(message, static_cast<uint32_t>(body.size()));
    return message + body;
}

// Reads a body front to back; every read checks that the bytes are there.
class TBodyReader {
public:
    explicit TBodyReader(std::string_view body) : rest_(body) {}
    bool Byte(uint8_t& value) {
        if (rest_.empty())
            return false;
        value = static_cast<uint8_t>(rest_.front());
        rest_.remove_prefix(1);
        return true;
    }
    bool U32(uint32_t& value) {
        if (rest_.size() < 4)
            return false;
        value = GetU32(rest_);
        rest_.remove_prefix(4);
        return true;
    }
    bool String(std::string& value) {
        uint32_t size;
        if (!U32(size) || rest_.size() < size)
            return false;
        value.assign(rest_.substr(0, size));
        rest_.remove_prefix(size);
        return true;
    }
    size_t Left() const { return rest_.size(); }

private:
    std::string_view rest_;
};

// Why a path from a message cannot be queued, or "" when it can.
std::string PathFault(const std::string& path) {
    if (path.empty())
        return "an empty path";
    if (path.front() != '/')
        return "a path that is not absolute";
    if (path.find('\0') != std::string::npos)
        return "a path holding a NUL byte";
    return {};
}

} // namespace

std::string EncodeRequest(const TQueueRequest& request) {
    std::string body;
    body.push_back(static_cast<char>((request.Move ? FlagMove : 0) |
                                     (request.CopyNow ? FlagCopyNow : 0) |
                                     (request.Destination ? FlagDestination : 0)));
    if (request.Destination)
        PutString(body, *request.Destination);
    PutU32(body, static_cast<uint32_t>(request.Paths.size()));
    for (const std::string& path : request.Paths)
        PutString(body, path);
    return Framed(RequestKind, body);
}

std::string EncodeAnswer(const TQueueAnswer& answer) {
    std::string body(1, answer.Queued ? '\0' : '\1');
    body += answer.Reason.substr(0, MaxAnswerBody - 1);
    return Framed(AnswerKind, body);
}

TMessageCheck CheckMessage(std::string_view received, std::string_view kind, size_t maxBody) {
    const size_t kindBytes = std::min(received.size(), kind.size());
    if (received.substr(0, kindBytes) != kind.substr(0, kindBytes))
        return {TMessageCheck::Broken, "not a Ferrox message"};
    if (received.size() < MessageHeaderSize)
        return {};
    const size_t body = GetU32(received.substr(kind.size()));
    if (body > maxBody)
        return {TMessageCheck::Broken, "too large: " + std::to_string(body) + " bytes"};
    if (received.size() < MessageHeaderSize + body)
        return {};
    if (received.size() > MessageHeaderSize + body)
        return {TMessageCheck::Broken, "bytes after the end of the message"};
    return {TMessageCheck::Whole, {}};
}

TDecodedRequest DecodeRequest(std::string_view message) {
    const TMessageCheck check = CheckMessage(message, RequestKind, MaxRequestBody);
    if (check.State == TMessageCheck::Broken)
        return {std::nullopt, check.Why};
    if (check.State == TMessageCheck::NeedMore)
        return {std::nullopt, "cut short"};
    TBodyReader body(message.substr(MessageHeaderSize));
    TQueueRequest request;
    uint8_t flags = 0;
    if (!body.Byte(flags))
        return {std::nullopt, "cut short"};
    if (flags & ~(FlagMove | FlagCopyNow | FlagDestination))
        return {std::nullopt, "unknown flags"};
    request.Move = flags & FlagMove;
    request.CopyNow = flags & FlagCopyNow;
    if (flags & FlagDestination) {
        std::string destination;
        if (!body.String(destination))
            return {std::nullopt, "cut short"};
        if (std::string fault = PathFault(destination); !fault.empty())
            return {std::nullopt, "destination: " + fault};
        request.Destination = std::move(destination);
    }
    uint32_t count = 0;
    if (!body.U32(count))
        return {std::nullopt, "cut short"};
    // Each path takes at least its 4-byte length: a count beyond that is a lie, and must
    // not make us reserve for it.
    if (count > body.Left() / 4)
        return {std::nullopt, "cut short"};
    request.Paths.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        std::string path;
        if (!body.String(path))
            return {std::nullopt, "cut short"};
        if (std::string fault = PathFault(path); !fault.empty())
            return {std::nullopt, fault};
        request.Paths.push_back(std::move(path));
    }
    if (body.Left() != 0)
        return {std::nullopt, "bytes after the end of the message"};
    if (request.Move && request.Paths.empty())
        return {std::nullopt, "a move without a path"};
    return {std::move(request), {}};
}

std::optional<TQueueAnswer> DecodeAnswer(std::string_view message) {
    if (CheckMessage(message, AnswerKind, MaxAnswerBody).State != TMessageCheck::Whole ||
        message.size() == MessageHeaderSize)
        return std::nullopt;
    const char status = message[MessageHeaderSize];
    if (status != '\0' && status != '\1')
        return std::nullopt;
    return TQueueAnswer{status == '\0', std::string(message.substr(MessageHeaderSize + 1))};
}

} // namespace ferrox
