#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "diag/StatusLine.h"
#include "listctl/VirtualTree.h"
#include "queue/LineStatus.h"

namespace ferrox {

using TLineList = TVirtualTree;

// The two lists of the queue and the operations on their lines. Source line N is copied
// into the directory of destination line N; nothing but the position links them.
class TCopyQueue {
public:
    // A source line with the destination line at its position, as read in one step.
    struct TPair {
        PVirtualNode Dest; // null when the source line has no partner or is gone
        std::string SourcePath;
        std::string DestPath;
        bool Move = false;
        int32_t Status = -1; // the source line's status when read; -1 when it is gone
        // Where it was read: the source line's position and both lists' shapes then.
        int32_t Index = -1;
        uint64_t FromShape = 0, ToShape = 0;
        // Both lines exist, and the source path is neither empty nor the destination's
        // own path: a run does not pass this pair over without a look.
        bool Paired() const { return Dest && !SourcePath.empty() && SourcePath != DestPath; }
        // A run copies this pair: paired, and the source line waits.
        bool Copyable() const {
            return Paired() && (Status == lsFileWaiting || Status == lsDirWaiting);
        }
    };

    TCopyQueue() = default;
    TCopyQueue(const TCopyQueue&) = delete;
    TCopyQueue& operator=(const TCopyQueue&) = delete;

    TLineList lstCopyFrom{TCheckType::CheckKindTwoState};
    TLineList lstCopyTo;

    // Where the queue's operations, and everything that works on this queue (its file, its
    // runs, the commands on it), put what the user should read.
    TStatusLine StatusLine;

    // Held across a change that touches the same position in both lists (a pair of lines
    // inserted or deleted), so that no other thread sees or makes a change in between.
    // Taken before any list's own lock, never while one is held.
    std::mutex PairMutex;

    // What "autosave" does (the queue file's save without force); none: nothing.
    void SetAutosave(std::function<void()> autosave) { autosave_ = std::move(autosave); }
    void Autosave();

    // Appends a line; the path is kept exactly as given. A move line is made and marked
    // under PairMutex, so a running run never takes it unmarked: not to be called with
    // `move` while PairMutex is held.
    void AddItem(TLineList& list, const std::string& path, bool move, int32_t status);
    // Inserts a line right after the anchor (where it stood, if it has been removed
    // meanwhile); null when no line could be made.
    PVirtualNode InsertItem(TLineList& list, const PVirtualNode& anchor, bool move, int32_t status,
                            const std::string& path);
    // The destination line at source position n, or null.
    PVirtualNode GetToNode(int64_t n);
    // The pair of a source line by its position now, under PairMutex.
    TPair ReadPair(const PVirtualNode& source);
    // The same into a pair read before, whose strings' storage is reused.
    void ReadPair(const PVirtualNode& source, TPair& into);
    // Reads the pair as ReadPair does and, when it is copyable, takes both lines from
    // waiting to in progress (source 4 or 5, destination 5) in the same locked step, so
    // what is copied is what stands side by side at that moment. False: nothing taken.
    // `ahead`, this line's pair read a moment before (used up), spares the search for the
    // partner while no line was inserted or removed since.
    bool TakePair(const PVirtualNode& source, TPair& pair, TPair* ahead = nullptr);
    // Sets the status of the line at position n, or deletes it with status -1.
    void SetLineStatusOrRemove(TLineList& list, int64_t n, int32_t status);
    // Deletes the given line, or (line null) every selected line that is not in progress;
    // with withDest the destination line at the same position goes too.
    void DelLines(TLineList& list, bool withDest, const PVirtualNode& line);
    // Sets the Move mark of the given source line or (line null) of every selected one, in
    // one step under PairMutex: a pair the run takes carries the marks from before the
    // change or from after it, never half of a command's.
    void ChangeNodeStates(bool move, const PVirtualNode& line = nullptr);
    // Selected done or failed source lines back to waiting, their destinations to 1.
    void ResetCopyStatus();
    // Removes every done source line with its destination line.
    void ClearCompleted();
    // Appends destination lines with this path until both lists are equally long; how
    // many it appended.
    uint32_t FillDestLines(const std::string& path);
    // Lines that belong together and to nothing else (what one request from outside
    // brings): each new source line pairs with a new destination line of `dest`, or, without
    // one, with none, and no other line's pair changes. So the new pairs go before source
    // lines still waiting for a destination, and before destination lines beyond the end
    // of the source list; lines without a destination go last, and destination lines that
    // would pair with them are removed (how many is returned: none of their sources exist,
    // and the queue file, which holds pairs, does not keep them).
    struct TNewLine {
        std::string Path;
        int32_t Status = lsFileWaiting;
    };
    uint32_t AddOwnLines(const std::vector<TNewLine>& lines, bool move,
                         const std::optional<std::string>& dest);
    void Clear(TLineList& list);

    static bool IsMove(const PVirtualNode& node) {
        return node && node->CheckMark.load() == TCheckState::csCheckedNormal;
    }
    static int32_t StatusOf(const PVirtualNode& node) {
        return node ? node->Data.Status.load() : -1;
    }

private:
    void ReadPairLocked(const PVirtualNode& source, TPair& into);
    std::function<void()> autosave_;
};

inline constexpr const char* MsgCannotDeleteRunning =
    "You cannot delete a line while the copy is running";

} // namespace ferrox
