#pragma once
#include <functional>
#include <shared_mutex>
#include <string>
#include <string_view>

namespace ferrox {

// What a status text is.
enum class TStatusKind {
    Info,    // what is going on
    Failure, // a failure the error log keeps
};

// The status line of one core. Every part of the core puts its texts here, from any
// thread, and the face attached to the core shows them in the order they came. Never
// fails to the caller.
class TStatusLine {
public:
    using TSink = std::function<void(const std::string& text, TStatusKind kind)>;

    // Replaces where the texts go (none: nowhere). When this returns, no call into the
    // old sink is still running.
    void SetSink(TSink sink);

    void Show(std::string_view text) { Put(text, TStatusKind::Info); }
    void Put(std::string_view text, TStatusKind kind);

private:
    std::shared_mutex mutex_;
    TSink sink_;
};

} // namespace ferrox
