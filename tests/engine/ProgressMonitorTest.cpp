#include "engine/progress/ProgressMonitor.h"
#include "diag/Clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

using namespace ferrox;

namespace {

// What the monitor shows, as values, in order: "file DONE/SIZE" (with " start" when its data
// begins) and "rate BYTES/SECONDS".
struct TRecorder : IProgressSink {
    mutable std::mutex mutex;
    std::vector<std::string> calls;
    void Add(std::string s) {
        std::lock_guard lock(mutex);
        calls.push_back(std::move(s));
    }
    void ShowProgress(const TProgressShown& shown) override {
        if (shown.File)
            Add("file " + std::to_string(shown.File->Done) + "/" +
                std::to_string(shown.File->Size) + (shown.File->Starts ? " start" : ""));
        if (shown.Rate)
            Add("rate " + std::to_string(shown.Rate->Bytes) + "/" +
                std::to_string(shown.Rate->Seconds));
    }
    std::vector<std::string> Calls() {
        std::lock_guard lock(mutex);
        return calls;
    }
};

// Its own start and end, as told.
struct TToldRecorder : IRunEventSink {
    std::mutex mutex;
    std::vector<TRunEvent::TKind> told;
    void Tell(const TRunEvent& e) override {
        std::lock_guard lock(mutex);
        told.push_back(e.Kind);
    }
};

struct TMonitorTest : ::testing::Test {
    TRecorder ui;
    TProgressChannel channel;
    TToldRecorder told;
    TProgressMonitor monitor{channel, told, ui};
    int64_t startNs = 0;
    // A report of the one file in flight, which began at `start`.
    void Show(TCopyProgressRec rec) {
        rec.StartNs = startNs;
        ui.ShowProgress(monitor.ShowRecord(rec));
    }
    std::chrono::system_clock::time_point start{std::chrono::seconds(1'000'000)};
    std::chrono::system_clock::time_point now = start;
    void SetUp() override {
        SetClock([this] { return now; });
        startNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count();
    }
    void TearDown() override { SetClock({}); }
};

} // namespace

TEST_F(TMonitorTest, AFileStartsAndMovesWithItsRateInWholeSeconds) {
    Show({3072, 0, 1});                           // nothing transferred: no rate
    now = start + std::chrono::milliseconds(999); // under a second: no rate yet
    Show({3072, 1536, 0});
    now = start + std::chrono::milliseconds(20'700); // 20 whole seconds
    Show({20'000'000, 10'485'760, 0});
    EXPECT_EQ(ui.Calls(), (std::vector<std::string>{"file 0/3072 start", "file 1536/3072",
                                                    "file 10485760/20000000", "rate 10485760/20"}));
}

// With files side by side the gauge follows the largest in flight, not whichever reported
// last; once it is done, the others show again.
TEST_F(TMonitorTest, GaugeFollowsTheLargestFileInFlight) {
    Show({5000, 0, 1, 2});
    Show({1000, 0, 1, 1});   // a smaller one beside it: not shown
    Show({1000, 500, 0, 1}); // not shown
    Show({5000, 2500, 0, 2});
    Show({5000, 5000, 0, 2}); // the large one is done
    Show({1000, 800, 0, 1});
    EXPECT_EQ(ui.Calls(), (std::vector<std::string>{"file 0/5000 start", "file 2500/5000",
                                                    "file 5000/5000", "file 800/1000"}));
}

// A copy that ends without a last chunk (an empty file, a failed or cancelled one) leaves
// the files in flight: the gauge goes back to following the smaller ones at once, and
// empty files do not pile up there.
TEST_F(TMonitorTest, CopiesThatEndWithoutTheirLastChunkLeaveTheFilesInFlight) {
    Show({5000, 0, 1, 2});
    Show({5000, 2500, 0, 2});
    Show({0, 2500, REPORT_COPY_ENDED, 2}); // failed half way
    Show({1000, 0, 1, 3});
    Show({1000, 800, 0, 3});
    EXPECT_EQ(ui.Calls(), (std::vector<std::string>{"file 0/5000 start", "file 2500/5000",
                                                    "file 0/1000 start", "file 800/1000"}));
    monitor.ShowRecord({0, 800, REPORT_COPY_ENDED, 3, startNs}); // cancelled
    for (uint64_t f = 10; f < 1010; ++f) { // empty files: a start, no chunk, an end
        monitor.ShowRecord({0, 0, 1, f, startNs});
        monitor.ShowRecord({0, 0, REPORT_COPY_ENDED, f, startNs});
    }
    EXPECT_EQ(monitor.FilesInFlight(), 0u) << "every report would walk what piles up";
}

TEST_F(TMonitorTest, ThreadShowsEveryRecordInOrderAndStopsInOrder) {
    for (int i = 0; i < 20; ++i)
        channel.ProgressList.Add({100, i, 0, 0, startNs});
    monitor.Start();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (channel.ProgressList.Count() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Reports made while it sleeps wake it.
    channel.ProgressList.Add({100, 99, 0, 0, startNs});
    channel.MonitorEvent.Set();
    while (channel.ProgressList.Count() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    monitor.Stop();

    auto calls = ui.Calls();
    ASSERT_EQ(calls.size(), 21u);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(calls[size_t(i)], "file " + std::to_string(i) + "/100");
    EXPECT_EQ(calls.back(), "file 99/100");
    std::lock_guard lock(told.mutex);
    EXPECT_EQ(told.told, (std::vector<TRunEvent::TKind>{TRunEvent::MonitorStarted,
                                                        TRunEvent::MonitorStopped}));
    EXPECT_FALSE(monitor.Running());
}
