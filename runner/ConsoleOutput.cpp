#include "runner/ConsoleOutput.h"

#include "core/RunFiguresText.h"
#include "platform/FileSystem.h"

#include <cerrno>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace ferrox {

namespace {
int TerminalWidth() {
    struct winsize ws {};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20)
        return ws.ws_col;
    return 80;
}
} // namespace

void TConsoleOutput::WriteLocked(int fd, const std::string& s) {
    // A failed write (a closed pipe) is dropped: output must not stop the copy.
    (void)WriteAll(fd, s);
}

void TConsoleOutput::WriteLineLocked(int fd, const std::string& line) {
    // The progress line lives on stdout; it goes first so the line does not run into it.
    if (terminal_ && progressShown_)
        WriteLocked(STDOUT_FILENO, "\r\033[K");
    progressShown_ = false;
    WriteLocked(fd, line + "\n");
}

void TConsoleOutput::SetStatusText(const std::string& text, TStatusKind kind) {
    if (text.empty() || (quiet_ && kind == TStatusKind::Info))
        return;
    std::lock_guard lock(mutex_);
    WriteLineLocked(kind == TStatusKind::Failure ? STDERR_FILENO : STDOUT_FILENO, text);
}

void TConsoleOutput::SetCurrentFile(const std::string& path) {
    std::lock_guard lock(mutex_);
    file_ = path;
}

void TConsoleOutput::SetRunText(const std::string& text) {
    std::lock_guard lock(mutex_);
    runText_ = text;
}

void TConsoleOutput::SetFile(const TFileProgress& file, bool displayBar) {
    std::lock_guard lock(mutex_);
    percent_ = file.Size > 0 ? int(file.Done * 100 / file.Size) : 0;
    if (!displayBar && file.Done != 0)
        gaugeText_ = ByteCountText(file.Done, file.Size, format_);
}

void TConsoleOutput::SetRate(const TTransferRate& rate) {
    std::lock_guard lock(mutex_);
    rate_ = RateText(rate, format_);
}

std::string TConsoleOutput::ProgressLineLocked() const {
    char head[64];
    if (!gaugeText_.empty())
        std::snprintf(head, sizeof head, "%s", gaugeText_.c_str());
    else
        std::snprintf(head, sizeof head, "%3d%%", percent_);
    std::string line = std::string(head) + "  " + rate_ + "  ";
    if (!runText_.empty())
        line += runText_ + "  ";
    // Show the end of a long name, where the file's own name is.
    size_t room = size_t(TerminalWidth() - 1);
    std::string name = file_;
    if (line.size() + name.size() > room && room > line.size() + 3)
        name = "..." + name.substr(name.size() - (room - line.size() - 3));
    line += name;
    if (line.size() > room)
        line.resize(room);
    return line;
}

void TConsoleOutput::Redraw() {
    if (!terminal_)
        return;
    std::lock_guard lock(mutex_);
    if (file_.empty())
        return;
    WriteLocked(STDOUT_FILENO, "\r\033[K" + ProgressLineLocked());
    progressShown_ = true;
}

void TConsoleOutput::EndProgress() {
    std::lock_guard lock(mutex_);
    if (terminal_ && progressShown_)
        WriteLocked(STDOUT_FILENO, "\r\033[K");
    progressShown_ = false;
}

void TConsoleOutput::PrintLine(const std::string& line) {
    std::lock_guard lock(mutex_);
    WriteLineLocked(STDOUT_FILENO, line);
}

void TConsoleOutput::PrintError(const std::string& line) {
    std::lock_guard lock(mutex_);
    WriteLineLocked(STDERR_FILENO, line);
}

} // namespace ferrox
