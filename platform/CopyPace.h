#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace ferrox {

// What holds a copy between its chunks: a pause that stops it where it is, a cap on the
// rate of all the copies of a run. The copy asks it before each chunk how much it may
// write at once, and tells it after each chunk what it wrote; the owner (a run) decides
// what waiting means. Called on the copying thread, from several copies at once.
class ICopyPace {
public:
    virtual ~ICopyPace() = default;
    // The most bytes the next chunk may write; 0: as much as the copy likes.
    virtual int64_t ChunkLimit() const = 0;
    // After a chunk of `bytes`: returns when the copy may go on, at once once `cancel`
    // is set (the copy then stops by itself).
    virtual void Passed(int64_t bytes, const std::atomic<bool>* cancel) = 0;
};

// A cap on bytes a second shared by every copy that passes through it: a token bucket that
// lends what a chunk wrote and makes the next chunk wait until the debt is paid. Chunks are
// kept to a twentieth of a second's worth and the bucket holds at most a tenth, so no copy
// bursts for more than a fraction of a second. The rate may change at any time (0: none);
// waiting copies follow the new rate at once.
class TRateLimit {
public:
    TRateLimit() = default;
    TRateLimit(const TRateLimit&) = delete;
    TRateLimit& operator=(const TRateLimit&) = delete;

    void SetRate(int64_t bytesPerSecond);
    int64_t Rate() const { return rate_.load(std::memory_order_relaxed); }
    // The largest chunk under the current rate; 0 without a cap.
    int64_t ChunkLimit() const;
    // Takes `bytes` from the bucket, waiting while it is in debt (or until cancel is set).
    void Take(int64_t bytes, const std::atomic<bool>* cancel);

    // Below this a chunk is not worth its system call: a slow cap waits longer between
    // chunks instead.
    static constexpr int64_t MinChunk = 16 << 10;

private:
    // Longest wait between looks at the cancel flag.
    static constexpr std::chrono::milliseconds CancelCheck{50};

    std::atomic<int64_t> rate_{0};
    std::mutex mutex_;
    std::condition_variable changed_;
    double tokens_ = 0; // bytes that may pass now; negative: owed
    std::chrono::steady_clock::time_point filled_{};
    uint64_t generation_ = 0; // counts rate changes, so a waiter sees one
};

} // namespace ferrox
