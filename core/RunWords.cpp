#include "core/RunWords.h"

#include "core/RunFiguresText.h"
#include "platform/NumberFormat.h"
#include "platform/SysError.h"

#include <cerrno>
#include <string_view>
#include <utility>

namespace ferrox {

namespace {

std::string Bracketed(const std::string& text) {
    return "[" + text + "]";
}

// "All File Copies Completed — 2 failed, 5 not reached (aborted)".
std::string EndText(const TRunEvent& e) {
    std::string counts;
    for (auto [n, what] : {std::pair{e.Failed, " failed"},
                           {e.Interrupted, " interrupted"},
                           {e.NotReached, " not reached"}})
        if (n > 0)
            counts += (counts.empty() ? "" : ", ") + std::to_string(n) + what;
    if (counts.empty())
        return MsgAllCompleted;
    return std::string(MsgAllCompleted) + " \u2014 " + counts + (e.Aborted ? " (aborted)" : "");
}

std::string CopyFailedText(const TRunEvent& e) {
    if (e.Code == errVerificationFailed)
        return "Verification failed " + Bracketed(e.Path);
    if (e.Code == errSourceChangedDuringCopy)
        return SysErrorMessage(e.Code) + " " + Bracketed(e.Path);
    return "Error copying file " + Bracketed(e.Path) + " to " + Bracketed(e.Target) + " " +
           SysErrorMessage(e.Code);
}

} // namespace

TEventWords WordsOf(const TRunEvent& e) {
    const auto reason = [&] { return SysErrorMessage(e.Code); };
    switch (e.Kind) {
    case TRunEvent::RunStarted:
        return {{}, "Starting Copy"};
    case TRunEvent::FileStarted:
        return {{}, e.Path};
    case TRunEvent::FileSkipped:
        return {{}, "Skipped, target exists " + Bracketed(e.Target)};
    case TRunEvent::FileContinued:
        return {{},
                Bracketed(e.Path) + " continued at " +
                    FormatBytes(e.Bytes, TNumberFormat::FromUserLocale())};
    case TRunEvent::CopiedBeside:
        return {{}, "Target exists, copied as " + Bracketed(e.Target)};
    case TRunEvent::AttributesIncomplete:
        return {"Extended attributes not all copied " + Bracketed(e.Path) + " to " +
                    Bracketed(e.Target) + " " + reason(),
                {}};
    case TRunEvent::SourceNotRemoved: {
        std::string text = "Source not removed " + Bracketed(e.Path) + " " + reason();
        // What a folder keeps (a file skipped, failed or added) is no failure of its own.
        if (!e.Line && (e.Code == ENOTEMPTY || e.Code == EEXIST))
            return {{}, std::move(text)};
        return {std::move(text), {}};
    }
    case TRunEvent::CopyFailed:
        return {CopyFailedText(e), {}};
    case TRunEvent::FileFinished: {
        // Told for every file: made in one allocation.
        static constexpr std::string_view lead = "Finished Copying file [";
        std::string shown;
        shown.reserve(lead.size() + e.Path.size() + 1);
        shown.append(lead).append(e.Path).push_back(']');
        return {{}, std::move(shown)};
    }
    case TRunEvent::LineFailed:
    case TRunEvent::LineInterrupted: {
        std::string shown = "Error copying file " + Bracketed(reason());
        if (e.Kind == TRunEvent::LineFailed && e.Stage == TRunEvent::AtDirectory)
            return {"Error copying directory " + Bracketed(e.Where) + " " + reason(), shown};
        if (e.Kind == TRunEvent::LineFailed && e.Stage == TRunEvent::AtMakingFolder)
            return {"Error creating directory " + Bracketed(e.Where) + " " + reason(), shown};
        return {{}, std::move(shown)};
    }
    case TRunEvent::WritingToDisk:
        return {{}, "Writing to disk\u2026"};
    case TRunEvent::RunEnded:
        return {{}, EndText(e)};
    case TRunEvent::PhaseChanged:
        return {{}, e.Phase.Phase == TRunPhase::Paused ? "Copy currently Paused." : ""};
    case TRunEvent::Exception:
        if (e.InRun)
            return {"An Exception occurred, please the email developer the log file " +
                        Bracketed(e.Text),
                    {}};
        return {{}, "Exception Error: " + e.Text};
    case TRunEvent::MonitorStarted:
        return {{}, "Processing Thread Started"};
    case TRunEvent::MonitorStopped:
        return {{}, "Processing Thread Shutdown"};
    }
    return {};
}

} // namespace ferrox
