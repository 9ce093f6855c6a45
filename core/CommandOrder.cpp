#include "core/CommandOrder.h"

#include "platform/ThreadName.h"

#include <utility>

namespace ferrox {

void TCommandOrder::Run(std::function<void()> command) {
    waiting_.push_back(std::move(command));
    Drain();
}

void TCommandOrder::Drain() {
    while (!commandRunning_ && !workUnderWay_ && !waiting_.empty()) {
        std::function<void()> command = std::move(waiting_.front());
        waiting_.pop_front();
        commandRunning_ = true;
        RunGuarded(command);
        commandRunning_ = false;
    }
}

void TCommandOrder::RunGuarded(const std::function<void()>& command) {
    try {
        if (command)
            command();
    } catch (...) {
        // Reported as the face reports what its handlers leave; the next command still
        // comes.
        if (OnException)
            OnException();
    }
}

void TCommandOrder::RunOffThread(std::function<void()> work, std::function<void()> done) {
    {
        std::lock_guard lock(mutex_);
        workDone_ = wantBox_ = boxAsked_ = boxChanged_ = false;
    }
    done_ = std::move(done);
    worker_ = std::thread([this, work = std::move(work), alive = std::weak_ptr<char>(alive_)] {
        NameThisThread("ferrox-queue");
        try {
            work();
        } catch (...) {
            if (OnException)
                OnException();
        }
        {
            std::lock_guard lock(mutex_);
            workDone_ = true;
        }
        changed_.notify_all();
        relay_.RunOnFaceThread([this, alive] {
            if (alive.lock())
                Look();
        });
    });
    // Set once the thread is there: what it posts runs on this thread, after this returns.
    workUnderWay_ = true;
}

void TCommandOrder::PleaseWait(bool shown) {
    {
        std::lock_guard lock(mutex_);
        wantBox_ = shown;
        boxAsked_ = boxAsked_ || shown;
        boxChanged_ = true;
    }
    changed_.notify_all();
    relay_.RunOnFaceThread([this, alive = std::weak_ptr<char>(alive_)] {
        if (alive.lock())
            Look();
    });
}

void TCommandOrder::Look() {
    while (workUnderWay_) {
        bool want, asked, done;
        {
            std::lock_guard lock(mutex_);
            want = wantBox_;
            asked = std::exchange(boxAsked_, false);
            boxChanged_ = false;
            done = workDone_;
        }
        // A box asked for is shown, however briefly; the face may handle events while it
        // shows it, so what the work wants is read again afterwards.
        if ((want || asked) && !boxShown_) {
            boxShown_ = true;
            relay_.PleaseWait(true);
            continue;
        }
        if (done) {
            Finish();
        } else if (!want && boxShown_) {
            boxShown_ = false;
            relay_.PleaseWait(false);
        }
        return;
    }
}

void TCommandOrder::Finish() {
    {
        std::lock_guard lock(mutex_);
        if (!workUnderWay_ || !workDone_)
            return;
    }
    worker_.join();
    // The turn goes on through `done`: a command it asks for comes after those waiting.
    const bool outer = commandRunning_;
    commandRunning_ = true;
    workUnderWay_ = false;
    std::function<void()> done = std::exchange(done_, nullptr);
    if (boxShown_) {
        boxShown_ = false;
        relay_.PleaseWait(false);
    }
    RunGuarded(done);
    commandRunning_ = outer;
    Drain();
}

void TCommandOrder::Wait() {
    while (workUnderWay_) {
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return workDone_ || boxChanged_; });
        }
        Look();
    }
}

void TCommandOrder::DropWaiting() {
    waiting_.clear();
    done_ = nullptr;
}

void TCommandOrder::Stop() {
    DropWaiting();
    if (worker_.joinable())
        worker_.join();
    workUnderWay_ = false;
    if (boxShown_) {
        boxShown_ = false;
        relay_.PleaseWait(false);
    }
}

} // namespace ferrox
