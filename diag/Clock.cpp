#include "diag/Clock.h"

#include <atomic>
#include <mutex>

namespace ferrox {

namespace {
std::mutex clockMutex; // guards clock
TClock clock;
// Read without the lock on every file's copy; the lock only while a test's clock is set.
std::atomic<bool> clockSet{false};
} // namespace

std::chrono::system_clock::time_point ClockNow() {
    if (clockSet.load(std::memory_order_acquire)) {
        std::lock_guard lock(clockMutex);
        if (clock)
            return clock();
    }
    return std::chrono::system_clock::now();
}

void SetClock(TClock newClock) {
    std::lock_guard lock(clockMutex);
    clock = std::move(newClock);
    clockSet.store(static_cast<bool>(clock), std::memory_order_release);
}

} // namespace ferrox
