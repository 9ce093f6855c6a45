#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "listctl/LinePath.h"

namespace ferrox {

enum class TCheckState : uint8_t {
    csUncheckedNormal,
    csUncheckedPressed,
    csCheckedNormal,
    csCheckedPressed,
    csMixedNormal,
    csMixedPressed
};

enum class TCheckType : uint8_t { CheckKindNone, CheckKindTwoState };

// The record every line carries. The path is fixed when the line is made, so any thread
// may read it without a lock; the status is written by the copy run while others read it.
// A queue holds millions of these (two a pair), so every field is as small as it can be.
struct TLineData {
    explicit TLineData(std::string_view path = {}, int32_t status = 0)
        : Path(path), Status(static_cast<int16_t>(status)) {}
    ~TLineData();
    TLineData(const TLineData&) = delete;
    TLineData& operator=(const TLineData&) = delete;

    const TLinePath Path;
    // One of the line statuses (LineStatus.h), all small numbers.
    std::atomic<int16_t> Status;
    // The mark of the run that counted this line for its figures, 0 for none
    // (TRunTally::MarkOf).
    std::atomic<uint16_t> RunMark{0};

    // Why the line failed and when, for its tooltip; none once it has been copied. Not
    // kept in the queue file. Few lines ever have one, so the notes are kept apart from
    // the lines: while no line has one, asking costs one load.
    std::shared_ptr<const std::string> Note() const;
    void SetNote(std::string note);
    void ClearNote();
};

class TVirtualNode;

// A counted handle to a line, as a shared pointer is but with the count in the line itself
// (a shared pointer's own block would be a sixth of a million-line queue's memory). The
// line goes with its last handle.
class PVirtualNode {
public:
    PVirtualNode() = default;
    PVirtualNode(std::nullptr_t) {}
    // Takes a handle of its own on the line.
    explicit PVirtualNode(TVirtualNode* node);
    PVirtualNode(const PVirtualNode& other) : PVirtualNode(other.node_) {}
    PVirtualNode(PVirtualNode&& other) noexcept : node_(other.node_) { other.node_ = nullptr; }
    PVirtualNode& operator=(PVirtualNode other) noexcept {
        std::swap(node_, other.node_);
        return *this;
    }
    ~PVirtualNode() { Release(node_); }

    // A new line, held by the handle returned.
    static PVirtualNode Make(std::string_view path = {}, int32_t status = 0);

    TVirtualNode* get() const { return node_; }
    TVirtualNode* operator->() const { return node_; }
    TVirtualNode& operator*() const { return *node_; }
    explicit operator bool() const { return node_ != nullptr; }
    void reset() { PVirtualNode().swap(*this); }
    void swap(PVirtualNode& other) noexcept { std::swap(node_, other.node_); }
    friend bool operator==(const PVirtualNode& a, const PVirtualNode& b) {
        return a.node_ == b.node_;
    }
    friend bool operator==(const PVirtualNode& a, std::nullptr_t) { return !a.node_; }

private:
    // Drops a handle; the last one frees the line, and with it the removed lines behind it
    // that nothing else holds, one after another rather than nested.
    static void Release(TVirtualNode* node);
    TVirtualNode* node_ = nullptr;
};

class TVirtualTree;

// One line. A handle stays valid after the line has been removed (by any thread): the
// removed line keeps the line that followed it, so a walk that holds it goes on from
// there, and the list never writes a removed line again.
class TVirtualNode {
public:
    explicit TVirtualNode(std::string_view path = {}, int32_t status = 0) : Data(path, status) {}
    TVirtualNode(const TVirtualNode&) = delete;
    TVirtualNode& operator=(const TVirtualNode&) = delete;

    // The marks below sit in the record's tail padding (a line is 56 bytes, a malloc
    // block of 64).
    [[no_unique_address]] TLineData Data;
    std::atomic<TCheckState> CheckMark{TCheckState::csUncheckedNormal};
    std::atomic<TCheckType> CheckKind{TCheckType::CheckKindNone};

    bool Removed() const { return removed_.load(std::memory_order_acquire); }
    bool Selected() const { return selected_.load(std::memory_order_relaxed); }

private:
    friend class TVirtualTree;
    friend class PVirtualNode;
    std::atomic<bool> removed_{false};
    std::atomic<bool> selected_{false};
    // Order-statistic tree (a treap) over the live lines, for positions in O(log n); a
    // line's priority is the hash of its address (HashOfLine): random enough, fixed for
    // its life, and no room in it.
    uint32_t size_ = 1;
    // The handles on this line, the list's own among them while it is in the list.
    std::atomic<uint32_t> refs_{0};
    // Display order; next_ is the list's handle on the following line (the list holds the
    // first one). Guarded by the list's lock. The line before is found through the tree.
    PVirtualNode next_;
    TVirtualNode* left_ = nullptr;
    TVirtualNode* right_ = nullptr;
    TVirtualNode* parent_ = nullptr;
};

// A hash of a line's address, its bits well spread: fixed for the line's life, it gives the
// treap its priorities and tables of lines their slots.
inline uint32_t HashOfLine(const TVirtualNode* line) {
    uint64_t x = reinterpret_cast<uintptr_t>(line);
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    x ^= x >> 33;
    return static_cast<uint32_t>(x);
}

inline PVirtualNode::PVirtualNode(TVirtualNode* node) : node_(node) {
    if (node_)
        node_->refs_.fetch_add(1, std::memory_order_relaxed);
}

// A structural change, in positions as they were when it happened; a view replays them.
struct TListChange {
    enum TKind { Insert, Remove, Reset } Kind;
    int32_t Position; // first row
    int32_t Count;    // rows
    // Insert: the new lines in display order, so a view can hold the very lines it shows
    // instead of asking for "the line at row n" later, when that may be another line.
    std::vector<PVirtualNode> Nodes;
};

// The flat line container behind each list. Every operation is safe from any thread: one
// lock per list, held only for the operation itself; observers are called after it.
class TVirtualTree {
public:
    explicit TVirtualTree(TCheckType newLineCheckKind = TCheckType::CheckKindNone)
        : newLineCheckKind_(newLineCheckKind) {}
    ~TVirtualTree();
    TVirtualTree(const TVirtualTree&) = delete;
    TVirtualTree& operator=(const TVirtualTree&) = delete;

    // New last line; never null here (memory aside).
    PVirtualNode AppendNode(std::string_view path = {}, int32_t status = 0);
    // New line right after the given one; null appends. After a removed anchor the line
    // goes where the anchor stood.
    PVirtualNode InsertNodeAfter(const PVirtualNode& anchor, std::string_view path = {},
                                 int32_t status = 0);
    // New first line.
    PVirtualNode InsertNodeFirst(std::string_view path = {}, int32_t status = 0);
    // Removes the line; its position before the removal, or -1 when it was already gone.
    int32_t RemoveNode(const PVirtualNode& node);
    // Removes the line only while keep(status) is false, in one step with the test, so a
    // line cannot change status between the two. Position, -1 when gone, -2 when kept.
    int32_t RemoveNodeUnless(const PVirtualNode& node, const std::function<bool(int32_t)>& keep);
    void RemoveAllNodes();

    PVirtualNode FirstNode() const;
    PVirtualNode LastNode() const;
    // The line after the given one; for a removed line, the first live line that followed it.
    PVirtualNode NextNode(const PVirtualNode& node) const;
    PVirtualNode FirstSelectedNode() const;
    PVirtualNode NextSelectedNode(const PVirtualNode& node) const;
    // The line at a 0-based position, or null.
    PVirtualNode NodeAt(int64_t index) const;
    // 0-based position, -1 for a removed line or null.
    int32_t Index(const PVirtualNode& node) const;
    uint32_t RootNodeCount() const;
    // Changes whenever a line is inserted or removed: while it reads the same, every line
    // is where it was.
    uint64_t Shape() const { return shape_.load(std::memory_order_acquire); }
    static TLineData* NodeData(const PVirtualNode& node) { return node ? &node->Data : nullptr; }

    // Sets the status unless the line was removed; false then.
    bool SetStatus(const PVirtualNode& node, int32_t status);
    // Sets the status only when it is `expected` and the line is still there.
    bool CompareExchangeStatus(const PVirtualNode& node, int32_t expected, int32_t desired);

    void SetSelected(const PVirtualNode& node, bool selected);
    void ClearSelection();

    // The Move mark; a removed line keeps the one it had.
    void SetCheckMark(const PVirtualNode& node, TCheckState state);

    // While the counter is above 0 changes do not notify; back at 0 one notification goes.
    void BeginBatch();
    void EndBatch();
    // Asks the views to repaint now.
    void RepaintNow();

    // Observers, set before other threads use the list.
    std::function<void()> OnChanged; // something to show changed

    // The journal of structural changes, kept only while enabled, for one view to replay.
    // Enabling gives the lines there are at that moment, in the same step, so that each
    // later change is in the journal and none is counted twice.
    std::vector<PVirtualNode> EnableJournal(bool enabled);
    // The changes so far; inside a batch, those made since it began are held back until it
    // ends, so a view never shows half of one.
    std::vector<TListChange> TakeJournal();
    bool Batching() const { return batch_.load() > 0; }
    // Counts every change (structure, statuses, marks, selection, repaints).
    uint64_t ChangeCount() const { return changeCount_.load(std::memory_order_acquire); }

private:
    using Lock = std::unique_lock<std::mutex>;
    void Link(const PVirtualNode& node, TVirtualNode* after);
    int32_t Unlink(const PVirtualNode& node);
    int32_t IndexLocked(const TVirtualNode* node) const;
    TVirtualNode* NodeAtLocked(int64_t index) const;
    // Remembers where a line stands, for the next question about its place or the next one's.
    TVirtualNode* Hint(TVirtualNode* node, int32_t index) const;
    void Record(TListChange::TKind kind, int32_t position, const PVirtualNode& node = nullptr);
    void SealLastChange();
    void Notify();
    static uint32_t SizeOf(const TVirtualNode* n) { return n ? n->size_ : 0; }
    static void Update(TVirtualNode* n);
    void RotateUp(TVirtualNode* x);
    // Puts `now` (may be null) where `old` stood under `parent` (null: the root).
    void ReplaceChild(TVirtualNode* parent, TVirtualNode* old, TVirtualNode* now);
    static TVirtualNode* Merge(TVirtualNode* a, TVirtualNode* b);
    // The live line before the given one, or null.
    static TVirtualNode* Before(const TVirtualNode* node);

    mutable std::mutex mutex_;
    PVirtualNode first_;
    TVirtualNode* last_ = nullptr;
    TVirtualNode* root_ = nullptr;
    uint32_t count_ = 0;
    uint32_t selectedCount_ = 0;
    // Raised under mutex_ before each insertion or removal.
    std::atomic<uint64_t> shape_{0};
    // The line a position was last asked of (or for), its position and the shape then,
    // guarded by mutex_. A walk down either list asks for the line after it, which is then
    // one step along next_ instead of a search through the tree: a deep one in a long list,
    // and one that misses the cache at every level. While the shape reads the same the
    // line is still in the list, so the pointer needs no handle of its own.
    mutable TVirtualNode* hintNode_ = nullptr;
    mutable int32_t hintIndex_ = -1;
    mutable uint64_t hintShape_ = 0;
    TCheckType newLineCheckKind_;
    std::atomic<int> batch_{0};
    std::atomic<uint64_t> changeCount_{0};
    bool journalOn_ = false;
    std::vector<TListChange> journal_;
    // The last change is a run of lines each inserted in front of the one before; its
    // Nodes are kept in the order made (cheap to extend) and reversed when it is sealed.
    bool lastInsertedInFront_ = false;
    // Changes from this one on were made inside the current batch.
    size_t batchStart_ = 0;
};

} // namespace ferrox
