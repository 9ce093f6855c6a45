#include "platform/Event.h"

namespace ferrox {

void TEvent::Set() {
    {
        std::lock_guard lock(mutex_);
        if (signalled_)
            return; // nobody can be waiting: no wake-up to pay for
        signalled_ = true;
    }
    cond_.notify_all();
}

void TEvent::Reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool TEvent::IsSet() const {
    std::lock_guard lock(mutex_);
    return signalled_;
}

void TEvent::Wait() {
    std::unique_lock lock(mutex_);
    cond_.wait(lock, [this] { return signalled_; });
}

bool TEvent::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cond_.wait_for(lock, timeout, [this] { return signalled_; });
}

} // namespace ferrox
