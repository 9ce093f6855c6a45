#include "platform/CopyPace.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace ferrox {
namespace {

using TClock = std::chrono::steady_clock;

double SecondsSince(TClock::time_point start) {
    return std::chrono::duration<double>(TClock::now() - start).count();
}

// Several copies taking their chunks together share the rate: together they take as long
// as the cap says, however they interleave.
TEST(RateLimit, CopiesTogetherKeepToTheRate) {
    TRateLimit limit;
    constexpr int64_t rate = int64_t(4) << 20;
    limit.SetRate(rate);
    EXPECT_EQ(limit.ChunkLimit(), rate / 20);
    constexpr int threads = 3;
    constexpr int64_t each = int64_t(2) << 20;
    const auto start = TClock::now();
    std::vector<std::thread> copies;
    for (int t = 0; t < threads; ++t)
        copies.emplace_back([&] {
            for (int64_t done = 0; done < each; done += limit.ChunkLimit())
                limit.Take(limit.ChunkLimit(), nullptr);
        });
    for (std::thread& copy : copies)
        copy.join();
    const double seconds = SecondsSince(start);
    const double expected = double(threads * each) / double(rate); // 1.5 s
    EXPECT_GE(seconds, expected * 0.85);
    EXPECT_LE(seconds, expected * 2);
}

// A copy that owes much under a slow cap goes on at once when the cap is lifted, or its
// copy is cancelled; a cap raised takes over from the slow one.
TEST(RateLimit, WaitingCopiesFollowAChangeAtOnce) {
    struct TCase {
        const char* Name;
        void (*Change)(TRateLimit&, std::atomic<bool>&);
    };
    const TCase cases[] = {
        {"no limit", [](TRateLimit& l, std::atomic<bool>&) { l.SetRate(0); }},
        {"cancelled", [](TRateLimit&, std::atomic<bool>& c) { c.store(true); }},
        {"raised", [](TRateLimit& l, std::atomic<bool>&) { l.SetRate(int64_t(1) << 30); }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TRateLimit limit;
        limit.SetRate(64 << 10);
        std::atomic<bool> cancel{false};
        std::atomic<bool> inside{false};
        auto copy = std::async(std::launch::async, [&] {
            inside = true;
            limit.Take(int64_t(1) << 20, &cancel); // 16 s at the slow rate
        });
        while (!inside)
            std::this_thread::yield();
        EXPECT_EQ(copy.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
        const auto changed = TClock::now();
        c.Change(limit, cancel);
        EXPECT_EQ(copy.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_LT(SecondsSince(changed), 1.0);
    }
}

} // namespace
} // namespace ferrox
