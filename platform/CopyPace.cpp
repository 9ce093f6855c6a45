#include "platform/CopyPace.h"

#include <algorithm>

namespace ferrox {

void TRateLimit::SetRate(int64_t bytesPerSecond) {
    {
        std::lock_guard lock(mutex_);
        rate_.store(std::max<int64_t>(bytesPerSecond, 0), std::memory_order_relaxed);
        // A new rate starts with an empty bucket and no debt: what was owed under a slow
        // cap must not hold the copies once the user has raised it.
        tokens_ = 0;
        filled_ = std::chrono::steady_clock::now();
        ++generation_;
    }
    changed_.notify_all();
}

int64_t TRateLimit::ChunkLimit() const {
    const int64_t rate = Rate();
    return rate > 0 ? std::max(rate / 20, MinChunk) : 0;
}

void TRateLimit::Take(int64_t bytes, const std::atomic<bool>* cancel) {
    if (Rate() <= 0)
        return; // every chunk of every copy comes here: no lock without a cap
    std::unique_lock lock(mutex_);
    uint64_t generation = generation_;
    bool owed = false;
    for (;;) {
        const int64_t rate = rate_.load(std::memory_order_relaxed);
        if (rate <= 0 || (cancel && cancel->load(std::memory_order_relaxed)))
            return;
        const auto now = std::chrono::steady_clock::now();
        if (filled_ == std::chrono::steady_clock::time_point{})
            filled_ = now;
        const double seconds = std::chrono::duration<double>(now - filled_).count();
        filled_ = now;
        const double burst = std::max(double(rate) / 10, double(MinChunk));
        tokens_ = std::min(tokens_ + seconds * double(rate), burst);
        if (!owed || generation != generation_) {
            // Under a new rate, the chunk is owed again (the bucket was emptied).
            tokens_ -= double(bytes);
            owed = true;
            generation = generation_;
        }
        if (tokens_ >= 0)
            return;
        const auto due = std::chrono::duration<double>(-tokens_ / double(rate));
        changed_.wait_for(lock, std::min(std::chrono::duration_cast<std::chrono::nanoseconds>(due),
                                         std::chrono::nanoseconds(CancelCheck)));
    }
}

} // namespace ferrox
