#pragma once
#include <string>
#include <string_view>

namespace ferrox {

// Where the status line shows. The window implements it; it may be called from any thread
// and must not block for long or wait for the window's thread.
class IStatusLine {
public:
    virtual ~IStatusLine() = default;
    virtual void SetStatusText(const std::string& text) = 0;
    // A failure that the error log has kept; a sink that shows failures apart (on stderr,
    // say) tells them by this call, never by their wording.
    virtual void SetFailureText(const std::string& text) { SetStatusText(text); }
};

// Installs the process's status line (nullptr: none); returns the one it replaces. When
// this returns, no call into the replaced sink is still running.
IStatusLine* SetStatusLine(IStatusLine* sink);

// Puts a text on the status line. Never fails to the caller.
void ShowStatus(std::string_view text);
// The same for a failure the error log has kept.
void ShowFailure(std::string_view text);

} // namespace ferrox
