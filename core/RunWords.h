#pragma once
#include <string>

#include "engine/RunEvents.h"

namespace ferrox {

// What the status line shows and the error log keeps of a run's event: Logged goes into
// the log and shows on the status line, then Shown shows. Either may be empty. The one
// place where a run's events become the status line's words, for every face that shows
// them (the window's status line, ferrox-run's lines) and for the log.
struct TEventWords {
    std::string Logged;
    std::string Shown;
};
TEventWords WordsOf(const TRunEvent& event);

// The words every run ends with.
inline constexpr const char* MsgAllCompleted = "All File Copies Completed";

} // namespace ferrox
