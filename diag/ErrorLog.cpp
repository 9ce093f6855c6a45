#include "diag/ErrorLog.h"

#include "diag/Clock.h"
#include "diag/StatusLine.h"
#include "diag/Trace.h"
#include "platform/FileSystem.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace ferrox {

namespace {
std::mutex logMutex;      // one line at a time in the file
std::string logDirectory; // guarded by logMutex

} // namespace

std::string LogFileName() {
    std::time_t t = std::chrono::system_clock::to_time_t(ClockNow());
    std::tm local{};
    ::localtime_r(&t, &local);
    char name[32];
    std::snprintf(name, sizeof name, "ERR%04d%02d%02d.LOG", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday);
    return name;
}

void SetLogDirectory(std::string directory) {
    std::lock_guard lock(logMutex);
    logDirectory = std::move(directory);
}

bool AppendToErrorLog(std::string_view text) {
    TTraceScope trace("LogError");
    try {
        std::string line(text);
        line += "\r\n";
        std::lock_guard lock(logMutex);
        // Every thread that logs waits on this lock, so the open must never block: a fifo
        // or a device under the log's name would hold them all. Only a regular file takes
        // the line; anything else counts as a log that cannot be opened.
        int fd = ::open((logDirectory + LogFileName()).c_str(),
                        O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
        if (fd < 0)
            return true; // no log to cut: the text still shows
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return true;
        }
        const bool ok = WriteAll(fd, line) == 0;
        return ::close(fd) == 0 && ok;
    } catch (...) {
        return false;
    }
}

void LogError(TStatusLine& status, std::string_view text) {
    if (AppendToErrorLog(text))
        status.Put(text, TStatusKind::Failure);
}

} // namespace ferrox
