#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "queue/CopyQueue.h"

namespace ferrox {

// The window's please-wait box.
class IPleaseWait {
public:
    virtual ~IPleaseWait() = default;
    virtual void ShowPleaseWait() = 0;
    virtual void HidePleaseWait() = 0;
};

inline constexpr uint32_t AutosaveLineLimit = 30;

inline constexpr const char* MsgAutosaveDisabled =
    "Autosave QUEUE file disabled due to large QUEUE size";
inline constexpr const char* MsgNothingToSave = "Nothing to Save?";
inline constexpr const char* MsgLoadFileMissing = "Queue File to Load does not Exists?";
inline constexpr const char* MsgLoadWhileRunning =
    "You cannot load a queue while the copy is running";

// The backup's name for a queue file: its name without the directory, cut after the last
// '.', followed by "BAK" ("QUEUE.INI" gives "QUEUE.BAK", "QUEUE" gives "BAK"). It has no
// directory, so the backup lies in the working directory.
std::string QueueBackupName(const std::string& queueFile);

// The queue's file: section "Queue" with FROM-n, TO-n, DONE-n and MOVE-n for every source
// line. Both operations run on the window's thread.
class TQueueFile {
public:
    TQueueFile(TCopyQueue& queue, const std::atomic<bool>& copyRunning);

    std::string QueueFileName; // ExePath() + "QUEUE.INI" until a name is given

    // Without Force, a queue of more than AutosaveLineLimit lines is not saved. The old
    // file goes to the backup; the new one is written whole before it takes the old one's
    // place, so a failed save leaves the old file as it was. An empty queue leaves no file.
    void SaveQueue(bool Force, bool ShowWait, const std::string& FileName);
    // Replaces both lists with the file's lines. Refused while a copy runs. A file that
    // cannot be read leaves the lists as they were.
    void LoadQueue(bool ShowWait, const std::string& FileName);

    IPleaseWait* PleaseWait = nullptr;
    std::function<void()> ProcessEvents;

    // True while a save or load is under way. ProcessEvents may run the window's commands
    // in the middle of one; those that change the lists should wait until this is false.
    // A save or load asked for meanwhile does nothing: it would see half a queue.
    bool Busy() const { return busy_; }

private:
    struct TSavedLine;
    void Pump();
    void BackupForEmptyQueue(const std::string& file);

    TCopyQueue& queue_;
    const std::atomic<bool>& copyRunning_;
    bool busy_ = false;
};

} // namespace ferrox
