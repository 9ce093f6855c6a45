#include "engine/modRXThread/ProgressMonitor.h"
#include "diag/Clock.h"

#include "support/StatusRecorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

using namespace ferrox;
using namespace ferrox::test;

namespace {

// What the monitor shows, as the gauge and the rate panel would be set, in order.
struct TRecorder : IProgressSink {
    mutable std::mutex mutex;
    std::vector<std::string> calls;
    int32_t min = 0;
    void Add(std::string s) {
        std::lock_guard lock(mutex);
        calls.push_back(std::move(s));
    }
    void ShowProgress(const TProgressShown& shown) override {
        if (shown.Max)
            Add("max " + std::to_string(*shown.Max));
        if (shown.ProgressToMin)
            Add("progress " + std::to_string(min));
        if (shown.Progress)
            Add("progress " + std::to_string(*shown.Progress));
        if (shown.Text)
            Add("text [" + *shown.Text + "]");
        if (shown.Rate)
            Add("rate [" + *shown.Rate + "]");
    }
    std::vector<std::string> Calls() {
        std::lock_guard lock(mutex);
        return calls;
    }
};

struct TMonitorTest : ::testing::Test {
    TRecorder ui;
    TProgressChannel channel;
    TStatusRecorder status;
    TProgressMonitor monitor{channel, status.Line, ui};
    int64_t startNs = 0;
    // A report of the one file in flight, which began at `start`.
    void Show(TCopyProgressRec rec) {
        rec.StartNs = startNs;
        ui.ShowProgress(monitor.ShowRecord(rec));
    }
    std::chrono::system_clock::time_point start{std::chrono::seconds(1'000'000)};
    std::chrono::system_clock::time_point now = start;
    void SetUp() override {
        monitor.NumberFormat = {",", "."};
        SetClock([this] { return now; });
        startNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count();
    }
    void TearDown() override { SetClock({}); }
};

} // namespace

TEST(FormatNumber, GroupsPadsAndRounds) {
    TNumberFormat comma{",", "."};
    EXPECT_EQ(FormatNumber(1536, 8, 0, comma), "   1,536");
    EXPECT_EQ(FormatNumber(30720, 8, 2, comma), "30,720.00");
    EXPECT_EQ(FormatNumber(1234567.891, 8, 2, comma), "1,234,567.89");
    EXPECT_EQ(FormatNumber(0, 8, 0, comma), "       0");
    EXPECT_EQ(FormatNumber(999, 8, 0, comma), "     999");
    EXPECT_EQ(FormatNumber(1234.5, 0, 2, {".", ","}), "1.234,50");
    EXPECT_EQ(FormatNumber(1234, 0, 0, {"", "."}), "1234");
}

TEST_F(TMonitorTest, GaugeGoesBackToMinAtAStreamStartAndFollowsChunks) {
    ui.min = 5;
    Show({1000, 0, 1});
    Show({1000, 500, 0});
    EXPECT_EQ(ui.Calls(),
              (std::vector<std::string>{"max 1000", "progress 5", "max 1000", "progress 500"}));
}

TEST_F(TMonitorTest, ByteCountsAsTextAndTheRateInTheUsersFormat) {
    monitor.DisplayProgressBar = false;
    Show({3072, 0, 1}); // nothing transferred: no text, no rate
    EXPECT_TRUE(ui.Calls().empty());
    now = start + std::chrono::milliseconds(999); // under a second: no rate yet
    Show({3072, 1536, 0});
    now = start + std::chrono::milliseconds(20'700); // 20 whole seconds
    Show({20'000'000, 10'485'760, 0});
    EXPECT_EQ(ui.Calls(), (std::vector<std::string>{"text [   1,536 /    3,072]",
                                                    "text [10,485,760 / 20,000,000]",
                                                    "rate [30,720.00 K/per min]"}));
}

TEST_F(TMonitorTest, FilesOf2GiBAndMoreStillMoveTheGauge) {
    const int64_t size = 6LL << 30;
    Show({size, size / 2, 0});
    Show({size, size, 0});
    auto calls = ui.Calls();
    ASSERT_EQ(calls.size(), 4u);
    int64_t max = std::stoll(calls[0].substr(4));
    EXPECT_GT(max, 1 << 30);
    EXPECT_LE(max, INT32_MAX);
    EXPECT_EQ(calls[1], "progress " + std::to_string(max / 2));
    EXPECT_EQ(calls[3], "progress " + std::to_string(max));
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
    EXPECT_EQ(ui.Calls(),
              (std::vector<std::string>{"max 5000", "progress 0", "max 5000", "progress 2500",
                                        "max 5000", "progress 5000", "max 1000", "progress 800"}));
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
    EXPECT_EQ(ui.Calls(),
              (std::vector<std::string>{"max 5000", "progress 0", "max 5000", "progress 2500",
                                        "max 1000", "progress 0", "max 1000", "progress 800"}));
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
    ASSERT_EQ(calls.size(), 42u);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(calls[size_t(2 * i + 1)], "progress " + std::to_string(i));
    EXPECT_EQ(calls.back(), "progress 99");
    EXPECT_EQ(status.Texts(), (std::vector<std::string>{"Processing Thread Started",
                                                        "Processing Thread Shutdown"}));
    EXPECT_FALSE(monitor.Running());
}
