#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "persist/IniFile.h"
#include "platform/SafeFile.h"
#include "queue/CopyQueue.h"

namespace ferrox {

inline constexpr uint32_t AutosaveLineLimit = 30;

inline constexpr const char* MsgAutosaveDisabled =
    "Autosave QUEUE file disabled due to large QUEUE size";
inline constexpr const char* MsgNothingToSave = "Nothing to Save?";
inline constexpr const char* MsgLoadFileMissing = "Queue File to Load does not Exists?";
inline constexpr const char* MsgLoadWhileRunning =
    "You cannot load a queue while the copy is running";

// What a load did. Only Loaded and FileMissing take the file's name as the current one;
// on every other outcome the lists, the name and the lock stay as they were.
enum class TLoadResult {
    Loaded,         // the lists hold the file's lines
    FileMissing,    // no such file: the lists are kept, the name is taken for later saves
    NotAQueue,      // the file has no queue section (another INI, an empty file)
    Unreadable,     // no permission, a directory, a fifo, a device, a read error
    InUseElsewhere, // another process holds the queue file
    Refused,        // a copy runs, or a save or load is under way
};

// What a save did.
enum class TSaveResult {
    Saved,
    NothingToSave,   // the list is empty: the old file went to the backup, none was written
    AutosaveSkipped, // too many lines for an autosave; the file is as it was
    Failed,          // logged; the file is as it was
    InUseElsewhere,  // another process holds the queue file; nothing was written
    Refused,         // a save or load is under way
    SavedBeside,     // the queue file was changed by someone else and is kept; the queue went
                     // to a new file beside it, now the current queue file
};

// The backup's name for a queue file: its name without the directory, cut after the last
// '.', followed by "BAK" ("QUEUE.INI" gives "QUEUE.BAK", "QUEUE" gives "BAK"), without a
// directory. The backup lies in StatePath(): the working directory, unless installed.
std::string QueueBackupName(const std::string& queueFile);

// The texts shown when the queue file is not what it should be; each names the file.
std::string NotAQueueMessage(const std::string& queueFile);
std::string InUseMessage(const std::string& queueFile);
std::string LoadAgainMessage(const std::string& queueFile);
std::string SavedBesideMessage(const std::string& queueFile, const std::string& savedAs);

// The queue's file: section "Queue" with FROM-n, TO-n, DONE-n and MOVE-n for every source
// line. Both operations run on the window's thread.
//
// Two processes must not work on one queue file, or the last save undoes the other's
// work. The object that loaded (or first wrote) its queue file holds an exclusive flock
// on it until it moves to another file or is destroyed. A save writes a new file and
// renames it over the old one, so the lock would stay behind on the old inode: the new
// file is therefore locked before it gets its name, and the old lock goes only after the
// rename. Whoever opens the name finds a locked file, and a loader checks after locking
// that the name still leads to what it locked.
//
// Not every writer takes locks (an editor, mv, cp), and some file systems have none. So
// the object also remembers the identity of the file it loaded or last wrote (or that
// there was none), and its saves to the current file replace only that file: when the
// name leads to another one, or the file was changed in place, the queue goes to a new
// file beside it ("q.ini" gives "q-1.ini", the first name that is free), which becomes the
// current queue file. A save to a name the caller gives replaces whatever is there.
class TQueueFile {
public:
    TQueueFile(TCopyQueue& queue, const std::atomic<bool>& copyRunning);

    std::string QueueFileName; // ExePath() + "QUEUE.INI" until a name is given

    // Without Force, a queue of more than AutosaveLineLimit lines is not saved. The old
    // file goes to the backup; the new one is written whole before it takes the old one's
    // place, so a failed save leaves the old file as it was. An empty queue leaves no file.
    // A queue file that is a symbolic link stays one: the file it leads to is replaced.
    // Refused while another process holds the file, and, without a FileName, while the
    // current file could not be loaded because it was in use (its lines would be lost).
    // Without a FileName, a file changed by someone else is kept (SavedBeside, above).
    TSaveResult SaveQueue(bool Force, bool ShowWait, const std::string& FileName);
    // Replaces both lists with the file's lines. Refused while a copy runs. A file that
    // cannot be read, is not a queue or is in use elsewhere leaves the lists as they were.
    // A file held by a Ferrox that is ending (Ending) is waited for, a few seconds at most,
    // with the please-wait box whatever ShowWait says.
    TLoadResult LoadQueue(bool ShowWait, const std::string& FileName);
    // The program is ending and will not save again: the file stays held (shared) until
    // the process has ended, and a Ferrox starting meanwhile waits for that.
    void Ending();

    // True when the last load or save found the queue file held by another process (the
    // window says so, and goes on without saving over it).
    bool InUseElsewhere() const { return inUseElsewhere_; }

    // Shows (true) or hides the please-wait box around a long save or load; none: no box.
    std::function<void(bool shown)> PleaseWait;
    std::function<void()> ProcessEvents;

    // True while a save or load is under way. ProcessEvents may run the window's commands
    // in the middle of one; those that change the lists should wait until this is false.
    // A save or load asked for meanwhile does nothing: it would see half a queue.
    bool Busy() const { return busy_; }

private:
    struct TSavedLine;
    class TWaitBox;
    void Pump();
    // Refused (why), or none when the target may be replaced; holds it then.
    std::optional<TSaveResult> MayReplace(const std::string& file, const std::string& target,
                                          bool userNamedIt);
    std::vector<TSavedLine> SnapshotLines();
    std::string QueueText(const std::vector<TSavedLine>& lines, size_t& written,
                          std::vector<std::string>& unstorable);
    TSaveResult WriteQueueFile(const std::string& file, const std::string& target,
                               std::string_view text, bool guarded, bool beside);
    TFd OpenToLoad(const std::string& file, bool& missing, bool& ours, bool& held, bool& ending);
    void FillLists(const TIniReader& ini);
    bool HoldsLockOn(int fd) const;
    bool HoldsLockOn(const std::string& path) const;
    void Hold(TFd fd, const std::string& name);
    void HoldNothing(const std::string& name);
    bool ChangedBySomeoneElse(const std::string& target) const;
    TSaveResult SaveBeside(const std::string& file, std::string_view text);

    TCopyQueue& queue_;
    const std::atomic<bool>& copyRunning_;
    bool busy_ = false;
    TFd lock_;                   // the flock on the current queue file, when we hold it
    std::string heldName_;       // the name whose file held_ describes
    TFileIdentity held_;         // the file loaded or last written there; not Valid: none
    bool mustLoadAgain_ = false; // the current file was in use when it was to be loaded
    bool inUseElsewhere_ = false;
};

} // namespace ferrox
