#include "platform/Event.h"

namespace ferrox {

void TEvent::Set() {
    // Set already: nobody can be waiting, no lock and no wake-up to pay for (a copy sets
    // the monitor's event with every report).
    if (signalled_.load(std::memory_order_acquire))
        return;
    {
        std::lock_guard lock(mutex_);
        if (signalled_.load(std::memory_order_relaxed))
            return;
        signalled_.store(true, std::memory_order_release);
    }
    cond_.notify_all();
}

void TEvent::Reset() {
    std::lock_guard lock(mutex_);
    signalled_.store(false, std::memory_order_release);
}

bool TEvent::IsSet() const {
    return signalled_.load(std::memory_order_acquire);
}

void TEvent::Wait() {
    std::unique_lock lock(mutex_);
    cond_.wait(lock, [this] { return signalled_.load(std::memory_order_relaxed); });
}

bool TEvent::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cond_.wait_for(lock, timeout,
                          [this] { return signalled_.load(std::memory_order_relaxed); });
}

} // namespace ferrox
