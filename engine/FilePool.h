#pragma once
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <sys/types.h>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/CopyContext.h"

namespace ferrox {

// Copies files side by side on threads of its own: on each target device as many at once
// as the device suits, a file alone on its device when asked (a large one). The run hands
// its file lines over in its own order; each thread keeps its own cache of directories.
class TFilePool {
public:
    // The copy of one file, on a pool thread, with that thread's directory cache.
    using TCopy = std::function<void(TCopyContext&)>;

    // swept: shared by the threads' directory caches (TCopyContext).
    explicit TFilePool(TSweptDirs* swept = nullptr) : swept_(swept) {}
    // Waits for every copy handed over, and ends the threads.
    ~TFilePool();
    TFilePool(const TFilePool&) = delete;
    TFilePool& operator=(const TFilePool&) = delete;

    // A place on a device, held from Reserve until Start or Release.
    struct TPlace {
        dev_t Device;
        bool Alone;
    };
    // Waits until the device has a place (at most `limit` copies on it; for `alone`, none
    // other) and holds it; none when `stop` says so while it waits.
    std::optional<TPlace> Reserve(dev_t device, int limit, bool alone,
                                  const std::function<bool()>& stop);
    // Hands the copy to a thread, on the place held for it.
    void Start(const TPlace& place, TCopy copy);
    // Gives a place back unused.
    void Release(const TPlace& place);
    // Waits until every copy handed over has ended; rethrows the first exception one left.
    void Drain();

    // Threads at most, whatever the devices allow.
    static constexpr size_t MaxThreads = 16;

private:
    struct TJob {
        dev_t Device;
        bool Alone;
        TCopy Copy;
    };
    struct TDevice {
        int InFlight = 0;
        bool Alone = false; // a copy has it to itself
    };
    void ThreadMain();
    void Free(const TPlace& place); // under the lock

    std::mutex mutex_;
    std::condition_variable placeFreed_; // the run waits for a place
    std::condition_variable jobReady_;   // threads wait for a copy
    std::deque<TJob> jobs_;
    std::unordered_map<dev_t, TDevice> devices_;
    std::vector<std::thread> threads_;
    size_t idle_ = 0;
    int inFlight_ = 0;
    bool ending_ = false;
    std::exception_ptr error_;
    TSweptDirs* const swept_;
};

} // namespace ferrox
