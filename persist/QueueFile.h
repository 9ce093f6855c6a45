#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "persist/HeldFile.h"
#include "persist/IniFile.h"
#include "persist/QueueFileFormat.h"
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
    Refused,        // a copy runs
};

// What a save did.
enum class TSaveResult {
    Saved,
    NothingToSave,   // the list is empty: the old file went to the backup, none was written
    AutosaveSkipped, // too many lines for an autosave; the file is as it was
    Failed,          // logged; the file is as it was
    InUseElsewhere,  // another process holds the queue file; nothing was written
    SavedBeside,     // the queue file was changed by someone else and is kept; the queue went
                     // to a new file beside it, now the current queue file
};

// The backup's name for a queue file: its name without the directory, cut after the last
// '.', followed by "BAK" ("QUEUE.INI" gives "QUEUE.BAK", "QUEUE" gives "BAK"), without a
// directory. The backup lies in StatePath(): the working directory, unless installed.
std::string QueueBackupName(const std::string& queueFile);

// Runs f with the descriptor a queue file's lines are about to be read through, after the
// check of the whole file: a test spoils the read there.
void SetBetweenQueueReadsHookForTesting(void (*f)(int fd));

// A load that did not load, as a value: what it came to, the file, and for a file that
// could not be read what the system said.
struct TLoadFailure {
    TLoadResult Result = TLoadResult::Loaded;
    std::string File;
    std::string Reason;
};

// The texts shown when the queue file is not what it should be; each names the file.
std::string NotAQueueMessage(const std::string& queueFile);
std::string InUseMessage(const std::string& queueFile);
std::string LoadAgainMessage(const std::string& queueFile);
std::string SavedBesideMessage(const std::string& queueFile, const std::string& savedAs);

// When the queue is saved to and loaded from its file (QueueFileFormat), and what the user
// is told. The file itself, and whether it is ours to write, is THeldFile's.
//
// Each verb works to its end on the thread that calls it, one at a time (the core runs the
// long ones on a thread of its own). A save writes the whole file before it takes the old
// one's place, so a failed save leaves the old file as it was; the old content stays as
// the backup. An empty queue leaves no file. A queue file that is a symbolic link stays
// one: the file it leads to is replaced. Saves to the current file replace only the file
// loaded or last written there: one changed by someone else is kept, and the queue goes
// beside it (SavedBeside). Refused while another process holds the file, and while the
// current file could not be loaded because it was in use (its lines would be lost).
class TQueueFile {
public:
    TQueueFile(TCopyQueue& queue, const std::atomic<bool>& copyRunning);

    // The current queue file: SettingsDir() + "QUEUE.INI" until another is named. Read from
    // any thread.
    std::string Name() const;
    void SetName(const std::string& name);

    // After a command changed the lines: saved while the queue holds at most
    // AutosaveLineLimit lines, else told on the status line.
    TSaveResult Autosave();
    // Into the current file, whatever the queue's size, the please-wait box shown while
    // it is written.
    TSaveResult SaveNow();
    // Into a file the user chose, which becomes the current one (whatever stands there is
    // replaced); with the box, and the count on the status line.
    TSaveResult SaveAs(const std::string& fileName);

    // The current file into both lists, without the box; silent when there is none.
    // Refused while a copy runs. A file that cannot be read, is not a queue or is in use
    // elsewhere leaves the lists as they were. A file held by a Ferrox that is ending is
    // waited for, a few seconds at most, with the box.
    TLoadResult LoadAtStart();
    // A file the user chose, as LoadAtStart but with the box; it becomes the current
    // file also when it does not exist.
    TLoadResult LoadFrom(const std::string& fileName);

    // The program is ending and will not save again (any thread): the file stays held,
    // shared, until the process has ended, and a Ferrox starting meanwhile waits for that.
    void Ending() { held_.Ending(); }

    // What the last load came to, on the thread that loads (the queue file's).
    const TLoadFailure& LastLoad() const { return lastLoad_; }

    // True when the last load or save found the queue file held by another process.
    bool InUseElsewhere() const { return inUseElsewhere_; }

    // Shows (true) or hides the please-wait box around the long part of a save or load;
    // called on the verb's thread. None: no box.
    std::function<void(bool shown)> PleaseWait;

private:
    class TWaitBox;
    enum class TSaveKind { Autosave, Now, As };
    TSaveResult Save(TSaveKind kind, const std::string& fileName);
    TSaveResult SaveInto(const std::string& file, bool named, bool showWait);
    TSaveResult SaveEmpty(const std::string& file, const std::string& target, bool named,
                          bool beside);
    TSaveResult WriteQueueFile(const std::string& file, const std::string& target,
                               const TContentWriter& text, bool guarded, bool beside);
    // Refused (why), or none when the target may be replaced; held then.
    std::optional<TSaveResult> MayReplace(const std::string& file, const std::string& target,
                                          bool userNamedIt);
    // A pair as a save found it: the paths (which share the lines' storage), the source's
    // status and mark as they were then.
    struct TSavedPair {
        TLinePath From, To; // To empty: no destination line
        int8_t Status;
        bool Move;
    };
    std::vector<TSavedPair> SnapshotLines();
    TLoadResult Load(const std::string& fileName, bool showWait);
    TLoadResult LoadInto(const std::string& file, bool named, bool showWait);
    THeldFile::TFound OpenToLoad(const std::string& file);
    // The lines of an INI text parsed whole, or (ini null) of a file as this program
    // writes it, read a block at a time from `fd`.
    void FillLists(const TIniReader* ini, int fd, const std::string& file);
    void TakeName(const std::string& name);

    TCopyQueue& queue_;
    const std::atomic<bool>& copyRunning_;
    mutable std::mutex nameMutex_;
    std::string name_;
    THeldFile held_;
    bool mustLoadAgain_ = false; // the current file was in use when it was to be loaded
    bool inUseElsewhere_ = false;
    TLoadFailure lastLoad_;
};

} // namespace ferrox
