#pragma once
#include <climits>
#include <exception>
#include <string>
#include <vector>

namespace ferrox {

// The process-wide trace stack: the names of the operations running now, oldest first.
// While it does not exist (before TraceCreate, after TraceRelease) Trace does nothing.
void TraceCreate();
void TraceRelease();

// A name is pushed; an empty name (or none) pops the newest entry, whoever pushed it. A name
// is kept by reference, not copied: it must be a literal, which is why a string, whose text
// may go before its entry does, is not taken.
void Trace(const char* name);

// The entries joined by ',' with entries holding a blank, a comma, a quote or a control
// character put in quotes (inner quotes doubled).
std::string TraceText();
std::vector<std::string> TraceEntries();

// Pushes a name for the life of a scope: popped on every normal way out, early returns
// included, and left in place when an exception leaves the scope, so the log can show
// where it happened. The one way to push and pop a name.
class TTraceScope {
public:
    // Always: popped even when an exception leaves the scope (an operation whose clean-up
    // runs in any case and says so).
    enum TPop { OnNormalExit, Always };
    explicit TTraceScope(const char* name, TPop pop = OnNormalExit)
        : exceptions_(pop == Always ? INT_MAX : std::uncaught_exceptions()) {
        Trace(name);
    }
    ~TTraceScope() {
        if (std::uncaught_exceptions() <= exceptions_)
            Trace({});
    }
    TTraceScope(const TTraceScope&) = delete;
    TTraceScope& operator=(const TTraceScope&) = delete;

private:
    int exceptions_;
};

} // namespace ferrox
