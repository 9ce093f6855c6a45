#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <sys/types.h>
#include <vector>

#include "engine/RunFigures.h"
#include "platform/CopyFile.h"
#include "platform/Event.h"

namespace ferrox {

// What a progress report says (its CallbackReason).
inline constexpr uint32_t CALLBACK_CHUNK_FINISHED = 0; // a chunk was copied
inline constexpr uint32_t CALLBACK_STREAM_SWITCH = 1;  // the data begins
// Not a copy's own report: the run's word that a copy has ended, done or failed (an empty
// file reports no chunk, and a failed one never reaches its end), so the monitor stops
// counting it among the files in flight.
inline constexpr uint32_t REPORT_COPY_ENDED = 2;

// One progress report of a file copy.
struct TCopyProgressRec {
    int64_t TotalFileSize = 0;
    int64_t TotalBytesTransferred = 0;
    uint32_t CallbackReason = 0; // 0: a chunk was copied; 1: the data begins; 2: it ended
    // Which copy reported it (files may be copied side by side), and when that copy began
    // (nanoseconds since the epoch, system clock), for its transfer rate.
    uint64_t File = 0;
    int64_t StartNs = 0;
};

// Reports in the order they were made, taken from the front by the progress monitor.
class TProgressList {
public:
    void Add(const TCopyProgressRec& rec) {
        std::lock_guard lock(mutex_);
        records_.push_back(rec);
    }
    // The first record, if any, without removing it.
    bool First(TCopyProgressRec& rec) const {
        std::lock_guard lock(mutex_);
        if (records_.empty())
            return false;
        rec = records_.front();
        return true;
    }
    void RemoveFirst() {
        std::lock_guard lock(mutex_);
        if (!records_.empty())
            records_.pop_front();
    }
    size_t Count() const {
        std::lock_guard lock(mutex_);
        return records_.size();
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        records_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::deque<TCopyProgressRec> records_;
};

// The devices a run's copies write to, in the order they were first written to: what
// reached them is the run's progress towards its end.
class TTargetDevices {
public:
    void Add(dev_t device) {
        if (device == 0 || last_.load(std::memory_order_relaxed) == device)
            return;
        std::lock_guard lock(mutex_);
        last_.store(device, std::memory_order_relaxed);
        for (dev_t seen : devices_)
            if (seen == device)
                return;
        devices_.push_back(device);
    }
    std::vector<dev_t> Seen() const {
        std::lock_guard lock(mutex_);
        return devices_;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        devices_.clear();
        last_.store(0, std::memory_order_relaxed);
    }

private:
    mutable std::mutex mutex_;
    std::vector<dev_t> devices_;
    std::atomic<dev_t> last_{0}; // spares the lock for a run that writes to one device
};

// What the file copies of one core report and its progress monitor shows.
struct TProgressChannel {
    TProgressList ProgressList;
    // Wakes the progress monitor; set after every report.
    TEvent MonitorEvent;
    // Numbers the copies, for their reports.
    std::atomic<uint64_t> NextFile{1};
    // Bytes of every file copied completely since the channel was made.
    std::atomic<int64_t> TotalBytesCopied{0};
    // Bytes the current run's copies have moved: BytesMoved counts those of files in
    // progress and done (a failed file's are taken back), BytesPaced every byte moved,
    // for the pace.
    std::atomic<int64_t> BytesMoved{0};
    std::atomic<int64_t> BytesPaced{0};
    // Time spent moving data (from a file's first report to its last) and the bytes moved
    // meanwhile: what a byte costs without the cost of opening and naming files.
    std::atomic<int64_t> DataNanos{0};
    std::atomic<int64_t> DataBytes{0};
    // The devices the current run writes to.
    TTargetDevices Devices;
    // The run's lines and bytes, kept by the worker.
    TRunCounters Run;
};

// One file copy's reports: the channel, and how far this copy has got.
struct TCopyReporter {
    TProgressChannel* Channel;
    uint64_t File = 0;
    int64_t StartNs = 0; // when the copy began (CopyStartTime), system clock
    int64_t Reported = 0;
    int64_t LastStampNs = 0; // steady clock, at the last report
};

// The copy's progress routine for one copy: queues a report, counts the bytes moved and
// wakes the monitor.
void CopyProgressCallback(TCopyReporter& reporter, const TCopyProgress& progress);
// Tells the monitor that the copy which reported through `reporter` has ended (nothing
// when it reported nothing).
void ReportCopyEnded(const TCopyReporter& reporter);

} // namespace ferrox
