#pragma once
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/ExpandDir.h"
#include "engine/FilePool.h"
#include "engine/RunState.h"
#include "engine/RunTally.h"
#include "engine/RunWrites.h"
#include "platform/CopyFile.h"
#include "queue/CopyQueue.h"

namespace ferrox {

// One copy run on its own thread: walks the source list with the destination line at
// the same position, copies every waiting file, expands every waiting directory into
// lines of its entries (copied in the same run), and marks both lines of each pair being
// copied, done or failed. At its end it always puts the run state back to idle, and then
// tells RunEnded.
class TCopyNOWThread {
public:
    TCopyNOWThread(TCopyQueue& queue, TRunState& run);
    ~TCopyNOWThread();
    TCopyNOWThread(const TCopyNOWThread&) = delete;
    TCopyNOWThread& operator=(const TCopyNOWThread&) = delete;

    void Start();
    // Asks the run to end at its next check (a file in progress is finished first).
    void Terminate();
    // Waits until the thread has ended.
    void WaitFor();
    bool Finished() const { return finished_.load(); }

private:
    void Execute();
    // Takes and copies the lines until none is left or the run is to stop.
    void Walk();
    // What became of a line the walk met.
    enum class TStep {
        Next,  // taken, or passed over: on to the next
        Again, // a Pause came while it waited for a place: the same line once more
        Stop   // the run is to stop
    };
    // Takes the line as the walk meets it, and copies or expands it. *expanded: a folder
    // line was taken.
    TStep TakeLine(const PVirtualNode& Source, bool* expanded = nullptr);
    // Lines the walk takes in their order: its own (every line), or the file lines of a
    // folder line it expanded early.
    struct TLane {
        PVirtualNode Next;           // the next line to take
        PVirtualNode Folder;         // the folder line expanded early; none for the walk's own lane
        std::string Dir;             // that folder, with its slash
        PVirtualNode Last = nullptr; // the line it took (or passed over) last
    };
    // The lane's next line is a file line of its folder, and the folder line is still there.
    static bool InLane(const TLane& lane);
    // Expands the next folder line ahead for a lane of its own, when one is near.
    TStep OpenLaneAhead(std::vector<TLane>& lanes);
    bool Stopping() const;
    // The file line's copy, with a directory cache (the run's own, or a pool thread's).
    void CopyFileLine(const PVirtualNode& Source, const TCopyQueue::TPair& pair,
                      TCopyContext& context);
    // Waits at the pause gate when the run is paused; false when the run is to stop.
    bool PassPauseGate(const PVirtualNode& Source);
    // A place for the pair's file on its target's device; none when the run is to stop.
    // *here: the run copies this file itself rather than hand it to a pool thread.
    std::optional<TFilePool::TPlace> ReservePlace(const TVirtualNode* line,
                                                  const TCopyQueue::TPair& pair, bool* here);
    // The taken file line's copy, on a pool thread.
    void StartFileLine(const TFilePool::TPlace& place, const PVirtualNode& Source,
                       const TCopyQueue::TPair& pair);
    // How files share the device under a target directory.
    struct TShare {
        dev_t Device = 0;
        int Limit = 1;               // files at once
        bool SmallFilesHere = false; // small files are copied by the run itself
    };
    TShare ShareOf(const std::string& dir);
    void CopyDirLine(const PVirtualNode& Source, const TCopyQueue::TPair& pair);
    // Both lines done or failed (with the reason for their tooltips).
    void Finish(const PVirtualNode& Source, const PVirtualNode& Dest, bool ok, int32_t done,
                int32_t failed, int code);
    // What the run wrote goes to the devices before it says it is done.
    void FlushWritten();
    // The directories the run made get their sources' times.
    void SetDirectoryTimes();
    // The source directories of folder lines marked Move that the run emptied go, deepest
    // first; one that still holds anything stays, and the status line says why.
    void RemoveMovedDirectories();

    TCopyQueue& queue_;
    TRunState& run_;
    const TRunSettings settings_; // as they were when the run started
    TRunTally tally_;
    TRunWrites writes_;
    // The target directories swept of stale temporaries, by the run or any copy thread.
    TSweptDirs swept_;
    // Files side by side: none when the run copies one file at a time itself.
    std::optional<TFilePool> pool_;
    std::unordered_map<std::string, TShare> shares_; // by target directory, looked up once
    // Folders whose files may be in flight at once: the files-at-once of the device the
    // last file line went to on a pool thread; 1 while the run copies files itself.
    int foldersAtOnce_ = 1;
    // The last line the look for folder lines ahead reached.
    PVirtualNode lookedAt_;
    // The sizes the expansions found, for ReservePlace; the run thread's own.
    TSeenSizes seenSizes_;
    // The pair TakeLine reads ahead and the pair it takes, kept for their strings' storage
    // (no line handle outlives the call); the run thread's own.
    TCopyQueue::TPair aheadPair_, takenPair_;
    // The directories of consecutive lines stay open between their files; the worker's own.
    // Let go of when the run ends: a stick the run wrote to can be unmounted at once.
    std::optional<TCopyContext> copyContext_;
    // The targets this run filled, so that no line replaces another's copy.
    std::optional<TFilledTargets> filled_;
    // The source directories of folder lines marked Move that the run expanded whole, as
    // they were then; the run's own thread only.
    struct TMovedDirectory {
        std::string Path;
        TFileIdentity Identity;
    };
    std::vector<TMovedDirectory> movedDirectories_;
    // The folders this run moved files out of (the copy threads add to it): a folder line
    // marked Move that an earlier run expanded, and this one emptied, goes too.
    std::mutex movedFromMutex_;
    std::unordered_set<std::string> movedFrom_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
};

} // namespace ferrox
