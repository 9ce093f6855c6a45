#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "core/FaceSinks.h"
#include "platform/NumberFormat.h"

namespace ferrox {

// The terminal as status line, gauge and rate panel: every status text on a line of its
// own and, on a terminal, a live progress line for the current file under them. Failures
// (the error log's texts, the run's failed lines) go to stderr, the rest to stdout. A write that
// fails (a closed pipe, a full disk) is dropped: output never stops the copy.
class TConsoleOutput : public IStatusLine {
public:
    TConsoleOutput(bool quiet, bool terminal) : quiet_(quiet), terminal_(terminal) {}

    // Failures to stderr, other texts to stdout (not with quiet).
    void SetStatusText(const std::string& text, TStatusKind kind) override;
    // The file the progress line names (the run's file-started event).
    void SetCurrentFile(const std::string& path);
    // The whole run's place on the progress line ("line N of M, …, about T left").
    void SetRunText(const std::string& text);
    // The current file's progress (as a percentage, or as byte counts when the options
    // want no bar) and its rate.
    void SetFile(const TFileProgress& file, bool displayBar);
    void SetRate(const TTransferRate& rate);

    // Draws the progress line again (terminal only); called a few times a second.
    void Redraw();
    // Removes the progress line before the closing lines.
    void EndProgress();
    // Prints a line whatever the quiet mode says, on stdout or stderr.
    void PrintLine(const std::string& line);
    void PrintError(const std::string& line);

private:
    void WriteLocked(int fd, const std::string& s);
    void WriteLineLocked(int fd, const std::string& line);
    std::string ProgressLineLocked() const;

    const bool quiet_;
    const bool terminal_;
    std::mutex mutex_; // one writer at a time; guards the texts below
    std::string file_;
    std::string gaugeText_;
    std::string rate_;
    std::string runText_;
    bool progressShown_ = false;
    int percent_ = 0;
    const TNumberFormat format_ = TNumberFormat::FromUserLocale();
};

} // namespace ferrox
