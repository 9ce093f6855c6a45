#include "engine/FilePool.h"

#include "platform/ThreadName.h"

#include <chrono>
#include <utility>

namespace ferrox {

namespace {
// How often a run waiting for a place looks whether it is to stop (an Abort).
constexpr auto StopCheck = std::chrono::milliseconds(20);
} // namespace

TFilePool::~TFilePool() {
    std::unique_lock lock(mutex_);
    placeFreed_.wait(lock, [this] { return inFlight_ == 0; });
    ending_ = true;
    lock.unlock();
    jobReady_.notify_all();
    for (std::thread& t : threads_)
        t.join();
}

std::optional<TFilePool::TPlace> TFilePool::Reserve(dev_t device, int limit, bool alone,
                                                    const std::function<bool()>& stop) {
    std::unique_lock lock(mutex_);
    TDevice& d = devices_[device]; // elements of an unordered_map stay where they are
    auto hasPlace = [&] { return alone ? d.InFlight == 0 : !d.Alone && d.InFlight < limit; };
    // Also once there is a place: an Abort that freed it must not start the next file.
    while (!hasPlace() || stop()) {
        if (stop())
            return std::nullopt;
        placeFreed_.wait_for(lock, StopCheck);
    }
    ++d.InFlight;
    if (alone)
        d.Alone = true;
    ++inFlight_;
    return TPlace{device, alone};
}

void TFilePool::Start(const TPlace& place, TCopy copy) {
    std::unique_lock lock(mutex_);
    jobs_.push_back({place.Device, place.Alone, std::move(copy)});
    if (idle_ == 0 && threads_.size() < MaxThreads) {
        threads_.emplace_back([this] { ThreadMain(); });
    } else {
        lock.unlock();
        jobReady_.notify_one();
    }
}

void TFilePool::Release(const TPlace& place) {
    std::lock_guard lock(mutex_);
    Free(place);
}

void TFilePool::Free(const TPlace& place) {
    TDevice& d = devices_[place.Device];
    --d.InFlight;
    if (place.Alone)
        d.Alone = false;
    --inFlight_;
    placeFreed_.notify_all();
}

void TFilePool::Drain() {
    std::unique_lock lock(mutex_);
    placeFreed_.wait(lock, [this] { return inFlight_ == 0; });
    if (error_)
        std::rethrow_exception(std::exchange(error_, nullptr));
}

void TFilePool::ThreadMain() {
    NameThisThread("ferrox-copier");
    TCopyContext context(swept_);
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        jobReady_.wait(lock, [this] { return ending_ || !jobs_.empty(); });
        --idle_;
        if (jobs_.empty())
            return;
        TJob job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        try {
            job.Copy(context);
        } catch (...) {
            // The run ends on it as on any exception of its own; it learns of it at Drain.
            std::lock_guard again(mutex_);
            if (!error_)
                error_ = std::current_exception();
        }
        lock.lock();
        Free({job.Device, job.Alone});
    }
}

} // namespace ferrox
