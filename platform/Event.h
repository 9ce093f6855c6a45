#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace ferrox {

// A manual-reset event: once Set, every waiter passes until Reset.
class TEvent {
public:
    explicit TEvent(bool signalled = false) : signalled_(signalled) {}
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    // Blocks until the event is set.
    void Wait();
    // Blocks until the event is set or the time is up; true when it is set.
    bool WaitFor(std::chrono::milliseconds timeout);

private:
    mutable std::mutex mutex_;
    std::condition_variable cond_;
    // Changed under mutex_ (the waiters' condition); read without it where nobody waits.
    std::atomic<bool> signalled_;
};

} // namespace ferrox
