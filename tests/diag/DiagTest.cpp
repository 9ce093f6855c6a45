#include "diag/Clock.h"
#include "diag/ErrorLog.h"
#include "diag/StatusLine.h"
#include "diag/Trace.h"

#include "support/StatusRecorder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <future>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ferrox;
using namespace ferrox::test;

namespace {

struct TFreshTrace {
    TFreshTrace() {
        TraceRelease();
        TraceCreate();
    }
    ~TFreshTrace() { TraceRelease(); }
};

int EarlyReturn(bool early) {
    TTraceScope trace("Early");
    if (early)
        return 1;
    Trace("Inner"); // left on purpose: shows what the caller's pop removes
    Trace({});
    return 2;
}

void Throws() {
    TTraceScope trace("Thrower");
    throw std::runtime_error("boom");
}

// Runs the test body with the working directory in a fresh temp dir.
struct TInTempDir {
    TTempDir dir;
    TWorkingDirectory cwd{dir.Path()};
};

std::chrono::system_clock::time_point LocalTime(int y, int mo, int d, int h, int mi, int s) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

} // namespace

TEST(Trace, PushPopAndEmptyPopOnEmptyList) {
    TFreshTrace fresh;
    Trace({}); // nothing to pop
    Trace("X");
    Trace("Y");
    Trace({});
    EXPECT_EQ(TraceEntries(), std::vector<std::string>{"X"});
    TraceRelease();
    Trace("Z"); // no list: nothing happens
    EXPECT_TRUE(TraceEntries().empty());
}

TEST(Trace, ScopePopsOnEarlyReturnAndStaysOnException) {
    TFreshTrace fresh;
    Trace("Outer");
    EXPECT_EQ(EarlyReturn(true), 1);
    EXPECT_EQ(EarlyReturn(false), 2);
    EXPECT_EQ(TraceText(), "Outer");
    EXPECT_THROW(Throws(), std::runtime_error);
    EXPECT_EQ(TraceText(), "Outer,Thrower");
}

// Copy threads push and pop side by side, preempted anywhere: no entry is lost or doubled
// (the stack ends as it began) and a reader in the middle sees only whole names.
TEST(Trace, ThreadsPushingAndPoppingTogetherLeaveTheStackAsItWas) {
    TFreshTrace fresh;
    Trace("Run");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 20000; ++i) {
                TTraceScope a("CopyFile");
                TTraceScope b("Progress");
            }
        });
    for (int i = 0; i < 200; ++i)
        for (const std::string& entry : TraceEntries())
            ASSERT_TRUE(entry == "Run" || entry == "CopyFile" || entry == "Progress") << entry;
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(TraceText(), "Run");
}

TEST(Trace, TextQuotesOnlyWhatNeedsIt) {
    TFreshTrace fresh;
    EXPECT_EQ(TraceText(), "");
    Trace("FormCreate");
    Trace("has space");
    Trace("a,b");
    Trace("say \"hi\"");
    Trace("tab\there");
    EXPECT_EQ(TraceText(), "FormCreate,\"has space\",\"a,b\",\"say \"\"hi\"\"\",\"tab\there\"");
}

TEST(StatusLine, EveryTextReachesTheSinkInOrderAndEmptyClears) {
    TStatusRecorder status;
    status.Line.Show("one");
    status.Line.Show("");
    status.Line.Show("two");
    EXPECT_EQ(status.Texts(), (std::vector<std::string>{"one", "", "two"}));
}

TEST(ErrorLog, AppendsCrLfLinesAndCrossesMidnight) {
    TInTempDir cwd;
    TStatusRecorder status;
    auto now = LocalTime(2026, 12, 6, 23, 59, 59);
    SetClock([&] { return now; });
    LogError(status.Line, "first");
    LogError(status.Line, "");
    LogError(status.Line, "two\nlines");
    now = LocalTime(2026, 12, 7, 0, 0, 1);
    LogError(status.Line, "next day");
    SetClock({});

    EXPECT_EQ(ReadFile(cwd.dir / "ERR20261206.LOG"), "first\r\n\r\ntwo\nlines\r\n");
    EXPECT_EQ(ReadFile(cwd.dir / "ERR20261207.LOG"), "next day\r\n");
    EXPECT_EQ(status.Texts(), (std::vector<std::string>{"first", "", "two\nlines", "next day"}));
}

TEST(ErrorLog, AGivenLogDirectoryTakesTheLinesInsteadOfTheWorkingDirectory) {
    TStatusLine unseen; // no face: the texts go nowhere
    TInTempDir cwd;
    TTempDir state;
    SetLogDirectory(state.Path() + "/");
    LogError(unseen, "installed");
    SetLogDirectory({});
    LogError(unseen, "build tree");
    EXPECT_EQ(ReadFile(state / LogFileName()), "installed\r\n");
    EXPECT_EQ(ReadFile(cwd.dir / LogFileName()), "build tree\r\n");
}

TEST(ErrorLog, LogThatCannotBeOpenedStillShowsAndNeverThrows) {
    TInTempDir cwd;
    // A working directory that has been removed cannot take a file, even for root.
    std::string gone = cwd.dir / "gone";
    MakeDir(gone);
    ASSERT_EQ(::chdir(gone.c_str()), 0);
    ASSERT_EQ(::rmdir(gone.c_str()), 0);
    TStatusRecorder status;
    EXPECT_NO_THROW(LogError(status.Line, "cannot write"));
    EXPECT_EQ(status.Last(), "cannot write");
}

TEST(ErrorLog, LinesFromSeveralThreadsNeverCutIntoEachOther) {
    TStatusLine unseen; // no face: the texts go nowhere
    TInTempDir cwd;
    TFreshTrace fresh;
    constexpr int threads = 4, lines = 300;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([t, &unseen] {
            for (int i = 0; i < lines; ++i)
                LogError(unseen, "thread " + std::to_string(t) + " line " + std::to_string(i) +
                                     std::string(100, 'x'));
        });
    for (auto& w : workers)
        w.join();
    std::string log = ReadFile(cwd.dir / LogFileName());
    size_t count = 0, pos = 0;
    while ((pos = log.find("\r\n", pos)) != std::string::npos) {
        ++count;
        pos += 2;
    }
    EXPECT_EQ(count, size_t(threads * lines));
    for (int t = 0; t < threads; ++t)
        EXPECT_NE(log.find("thread " + std::to_string(t) + " line " + std::to_string(lines - 1) +
                           std::string(100, 'x') + "\r\n"),
                  std::string::npos);
    // Every push was popped again, whichever thread it came from.
    EXPECT_TRUE(TraceEntries().empty());
}

TEST(ErrorLog, AFifoUnderTheLogsNameNeitherBlocksNorTakesTheLine) {
    TInTempDir cwd;
    TStatusRecorder status;
    const std::string fifo = cwd.dir / LogFileName();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
    auto logFromAnotherThread = [&status](const std::string& text) {
        auto done =
            std::async(std::launch::async, [text, &status] { LogError(status.Line, text); });
        return done;
    };
    // A reader that comes too late releases a blocked open, so a fault fails the test
    // instead of hanging it.
    auto release = [&] { return ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); };

    // No reader: a blocking open would wait for one forever.
    auto first = logFromAnotherThread("nobody reads");
    bool finished = first.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    int late = finished ? -1 : release();
    first.wait();
    if (late >= 0)
        ::close(late);
    EXPECT_TRUE(finished) << "LogError blocked on a fifo";
    EXPECT_EQ(status.Last(), "nobody reads");

    // With a reader the open succeeds, yet a pipe is no log: the line stays out of it.
    int reader = release();
    ASSERT_GE(reader, 0);
    auto second = logFromAnotherThread("somebody reads");
    EXPECT_EQ(second.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    second.wait();
    char buf[64];
    EXPECT_LE(::read(reader, buf, sizeof buf), 0) << "the line went into the pipe";
    ::close(reader);
    EXPECT_EQ(status.Last(), "somebody reads");
}
