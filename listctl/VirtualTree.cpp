#include "listctl/VirtualTree.h"

#include <algorithm>
#include <iterator>
#include <unordered_map>
#include <utility>

namespace ferrox {

namespace {

// The notes of the lines that have one (failed lines), by line, and how many there are.
std::mutex notesMutex;
std::atomic<size_t> notesHeld{0};
std::unordered_map<const TLineData*, std::shared_ptr<const std::string>>& Notes() {
    // Never freed: lines may still go after static objects have.
    static auto* notes =
        new std::unordered_map<const TLineData*, std::shared_ptr<const std::string>>;
    return *notes;
}

bool CompareExchange(std::atomic<int16_t>& status, int32_t expected, int32_t desired) {
    auto seen = static_cast<int16_t>(expected);
    return seen == expected && status.compare_exchange_strong(seen, static_cast<int16_t>(desired));
}

} // namespace

TLineData::~TLineData() {
    ClearNote();
}

std::shared_ptr<const std::string> TLineData::Note() const {
    if (notesHeld.load(std::memory_order_acquire) == 0)
        return nullptr;
    std::lock_guard lock(notesMutex);
    auto found = Notes().find(this);
    return found == Notes().end() ? nullptr : found->second;
}

void TLineData::SetNote(std::string note) {
    auto shared = std::make_shared<const std::string>(std::move(note));
    std::lock_guard lock(notesMutex);
    if (Notes().insert_or_assign(this, std::move(shared)).second)
        notesHeld.fetch_add(1, std::memory_order_release);
}

void TLineData::ClearNote() {
    // While no line has a note (a run without failures) this is all it costs.
    if (notesHeld.load(std::memory_order_acquire) == 0)
        return;
    std::shared_ptr<const std::string> dropped; // freed after the lock
    std::lock_guard lock(notesMutex);
    auto found = Notes().find(this);
    if (found == Notes().end())
        return;
    dropped = std::move(found->second);
    Notes().erase(found);
    notesHeld.fetch_sub(1, std::memory_order_release);
}

// Two lines a pair, and a queue may hold millions: one more field here is a tenth more
// memory for such a queue.
static_assert(sizeof(void*) != 8 || sizeof(TVirtualNode) <= 56);

PVirtualNode PVirtualNode::Make(std::string_view path, int32_t status) {
    return PVirtualNode(new TVirtualNode(path, status));
}

void PVirtualNode::Release(TVirtualNode* node) {
    // The last handle on a removed line may hold the only handle on the line that followed
    // it, and so on down a long chain: freed in a loop, not by nested destructors. Only a
    // line no one holds any more is freed, so its next_ is no one else's to read.
    while (node && node->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        TVirtualNode* next = std::exchange(node->next_.node_, nullptr);
        delete node;
        node = next;
    }
}

TVirtualTree::~TVirtualTree() {
    RemoveAllNodes();
}

void TVirtualTree::Update(TVirtualNode* n) {
    n->size_ = 1 + SizeOf(n->left_) + SizeOf(n->right_);
    if (n->left_)
        n->left_->parent_ = n;
    if (n->right_)
        n->right_->parent_ = n;
}

void TVirtualTree::ReplaceChild(TVirtualNode* parent, TVirtualNode* old, TVirtualNode* now) {
    if (now)
        now->parent_ = parent;
    if (!parent)
        root_ = now;
    else if (parent->left_ == old)
        parent->left_ = now;
    else
        parent->right_ = now;
}

void TVirtualTree::RotateUp(TVirtualNode* x) {
    TVirtualNode* p = x->parent_;
    TVirtualNode* g = p->parent_;
    if (p->left_ == x) {
        p->left_ = x->right_;
        if (x->right_)
            x->right_->parent_ = p;
        x->right_ = p;
    } else {
        p->right_ = x->left_;
        if (x->left_)
            x->left_->parent_ = p;
        x->left_ = p;
    }
    p->parent_ = x;
    ReplaceChild(g, p, x);
    p->size_ = 1 + SizeOf(p->left_) + SizeOf(p->right_);
    x->size_ = 1 + SizeOf(x->left_) + SizeOf(x->right_);
}

TVirtualNode* TVirtualTree::Merge(TVirtualNode* a, TVirtualNode* b) {
    if (!a)
        return b;
    if (!b)
        return a;
    if (HashOfLine(a) > HashOfLine(b)) {
        a->right_ = Merge(a->right_, b);
        Update(a);
        return a;
    }
    b->left_ = Merge(a, b->left_);
    Update(b);
    return b;
}

TVirtualNode* TVirtualTree::Before(const TVirtualNode* node) {
    if (node->left_) {
        TVirtualNode* n = node->left_;
        while (n->right_)
            n = n->right_;
        return n;
    }
    const TVirtualNode* child = node;
    TVirtualNode* p = node->parent_;
    while (p && child == p->left_) {
        child = p;
        p = p->parent_;
    }
    return p;
}

int32_t TVirtualTree::IndexLocked(const TVirtualNode* node) const {
    if (!node || node->Removed())
        return -1;
    uint32_t i = SizeOf(node->left_);
    for (const TVirtualNode* n = node; n->parent_; n = n->parent_)
        if (n == n->parent_->right_)
            i += SizeOf(n->parent_->left_) + 1;
    return static_cast<int32_t>(i);
}

TVirtualNode* TVirtualTree::NodeAtLocked(int64_t index) const {
    if (index < 0 || index >= count_)
        return nullptr;
    auto k = static_cast<uint32_t>(index);
    TVirtualNode* t = root_;
    while (t) {
        uint32_t l = SizeOf(t->left_);
        if (k < l) {
            t = t->left_;
        } else if (k == l) {
            return t;
        } else {
            k -= l + 1;
            t = t->right_;
        }
    }
    return nullptr;
}

void TVirtualTree::Link(const PVirtualNode& node, TVirtualNode* after) {
    shape_.fetch_add(1, std::memory_order_acq_rel);
    node->CheckKind.store(newLineCheckKind_, std::memory_order_relaxed);
    TVirtualNode* n = node.get();
    n->next_ = std::move(after ? after->next_ : first_);
    if (!n->next_)
        last_ = n;
    if (after)
        after->next_ = node;
    else
        first_ = node;

    n->left_ = n->right_ = n->parent_ = nullptr;
    n->size_ = 1;
    // The new line is the in-order successor of `after`: the leftmost place of its right
    // subtree (or of the whole tree when it comes first). Sizes grow along the path up,
    // and rotations restore the heap order of the priorities, two on average.
    TVirtualNode* parent = after;
    bool left = false;
    if (!root_) {
        parent = nullptr;
    } else if (!after || after->right_) {
        parent = after ? after->right_ : root_;
        while (parent->left_)
            parent = parent->left_;
        left = true;
    }
    n->parent_ = parent;
    if (!parent)
        root_ = n;
    else if (left)
        parent->left_ = n;
    else
        parent->right_ = n;
    for (TVirtualNode* p = parent; p; p = p->parent_)
        ++p->size_;
    const uint32_t priority = HashOfLine(n);
    while (n->parent_ && HashOfLine(n->parent_) < priority)
        RotateUp(n);
    ++count_;
    if (journalOn_)
        Record(TListChange::Insert, IndexLocked(n), node);
}

int32_t TVirtualTree::Unlink(const PVirtualNode& node) {
    TVirtualNode* x = node.get();
    if (!x || x->Removed())
        return -1;
    shape_.fetch_add(1, std::memory_order_acq_rel);
    int32_t pos = IndexLocked(x);
    TVirtualNode* prev = Before(x);

    TVirtualNode* m = Merge(x->left_, x->right_);
    TVirtualNode* p = x->parent_;
    ReplaceChild(p, x, m);
    for (; p; p = p->parent_)
        --p->size_;
    x->left_ = x->right_ = x->parent_ = nullptr;

    // x keeps next_: the line that followed it, where a walk holding x goes on.
    if (!x->next_)
        last_ = prev;
    // Drops the list's own handle on x; the caller holds one.
    (prev ? prev->next_ : first_) = x->next_;
    x->removed_.store(true, std::memory_order_release);
    if (x->selected_.exchange(false))
        --selectedCount_;
    --count_;
    Record(TListChange::Remove, pos);
    return pos;
}

PVirtualNode TVirtualTree::AppendNode(std::string_view path, int32_t status) {
    auto node = PVirtualNode::Make(path, status);
    {
        std::lock_guard lock(mutex_);
        Link(node, last_);
    }
    Notify();
    return node;
}

PVirtualNode TVirtualTree::InsertNodeAfter(const PVirtualNode& anchor, std::string_view path,
                                           int32_t status) {
    auto node = PVirtualNode::Make(path, status);
    {
        std::lock_guard lock(mutex_);
        TVirtualNode* after = anchor ? anchor.get() : last_;
        if (anchor && anchor->Removed()) {
            // The anchor went meanwhile: the new line takes the place where it stood,
            // right before the first line that followed it and is still there.
            TVirtualNode* n = anchor->next_.get();
            while (n && n->Removed())
                n = n->next_.get();
            after = n ? Before(n) : last_;
        }
        Link(node, after);
    }
    Notify();
    return node;
}

PVirtualNode TVirtualTree::InsertNodeFirst(std::string_view path, int32_t status) {
    auto node = PVirtualNode::Make(path, status);
    {
        std::lock_guard lock(mutex_);
        Link(node, nullptr);
    }
    Notify();
    return node;
}

int32_t TVirtualTree::RemoveNode(const PVirtualNode& node) {
    int32_t pos;
    {
        std::lock_guard lock(mutex_);
        pos = Unlink(node);
    }
    if (pos >= 0)
        Notify();
    return pos;
}

int32_t TVirtualTree::RemoveNodeUnless(const PVirtualNode& node,
                                       const std::function<bool(int32_t)>& keep) {
    int32_t pos;
    {
        std::lock_guard lock(mutex_);
        if (!node || node->Removed())
            return -1;
        if (keep(node->Data.Status.load()))
            return -2;
        pos = Unlink(node);
    }
    Notify();
    return pos;
}

void TVirtualTree::RemoveAllNodes() {
    {
        std::lock_guard lock(mutex_);
        shape_.fetch_add(1, std::memory_order_acq_rel);
        // Every line is gone at once, so a removed line's walk ends here: its successor
        // link is cut, which also frees the chain without recursion.
        PVirtualNode n = std::move(first_);
        while (n) {
            PVirtualNode after = std::move(n->next_);
            n->removed_.store(true, std::memory_order_release);
            n->selected_.store(false);
            n->left_ = n->right_ = n->parent_ = nullptr;
            n = std::move(after);
        }
        last_ = nullptr;
        root_ = nullptr;
        selectedCount_ = 0;
        if (count_ > 0) {
            count_ = 0;
            if (journalOn_) {
                SealLastChange();
                journal_.push_back({TListChange::Reset, 0, 0, {}});
            }
        }
    }
    Notify();
}

PVirtualNode TVirtualTree::FirstNode() const {
    std::lock_guard lock(mutex_);
    return first_;
}

PVirtualNode TVirtualTree::LastNode() const {
    std::lock_guard lock(mutex_);
    return PVirtualNode(last_);
}

PVirtualNode TVirtualTree::NextNode(const PVirtualNode& node) const {
    if (!node)
        return nullptr;
    std::lock_guard lock(mutex_);
    TVirtualNode* n = node->next_.get();
    while (n && n->Removed())
        n = n->next_.get();
    return PVirtualNode(n);
}

PVirtualNode TVirtualTree::FirstSelectedNode() const {
    std::lock_guard lock(mutex_);
    if (selectedCount_ == 0)
        return nullptr;
    TVirtualNode* n = first_.get();
    while (n && !n->Selected())
        n = n->next_.get();
    return PVirtualNode(n);
}

PVirtualNode TVirtualTree::NextSelectedNode(const PVirtualNode& node) const {
    if (!node)
        return nullptr;
    std::lock_guard lock(mutex_);
    if (selectedCount_ == 0)
        return nullptr;
    TVirtualNode* n = node->next_.get();
    while (n && (n->Removed() || !n->Selected()))
        n = n->next_.get();
    return PVirtualNode(n);
}

TVirtualNode* TVirtualTree::Hint(TVirtualNode* node, int32_t index) const {
    hintNode_ = node;
    hintIndex_ = index;
    hintShape_ = shape_.load(std::memory_order_relaxed);
    return node;
}

PVirtualNode TVirtualTree::NodeAt(int64_t index) const {
    std::lock_guard lock(mutex_);
    if (hintNode_ && hintShape_ == shape_.load(std::memory_order_relaxed)) {
        if (index == hintIndex_)
            return PVirtualNode(hintNode_);
        if (index == int64_t(hintIndex_) + 1 && hintNode_->next_)
            return PVirtualNode(Hint(hintNode_->next_.get(), hintIndex_ + 1));
    }
    TVirtualNode* node = NodeAtLocked(index);
    return PVirtualNode(node ? Hint(node, static_cast<int32_t>(index)) : nullptr);
}

int32_t TVirtualTree::Index(const PVirtualNode& node) const {
    std::lock_guard lock(mutex_);
    TVirtualNode* n = node.get();
    if (n && hintNode_ && hintShape_ == shape_.load(std::memory_order_relaxed)) {
        if (n == hintNode_)
            return hintIndex_;
        if (n == hintNode_->next_.get()) {
            Hint(n, hintIndex_ + 1);
            return hintIndex_;
        }
    }
    const int32_t index = IndexLocked(n);
    if (index >= 0)
        Hint(n, index);
    return index;
}

uint32_t TVirtualTree::RootNodeCount() const {
    std::lock_guard lock(mutex_);
    return count_;
}

bool TVirtualTree::SetStatus(const PVirtualNode& node, int32_t status) {
    if (!node || node->Removed())
        return false;
    node->Data.Status.store(status, std::memory_order_release);
    Notify();
    return true;
}

bool TVirtualTree::CompareExchangeStatus(const PVirtualNode& node, int32_t expected,
                                         int32_t desired) {
    {
        std::lock_guard lock(mutex_);
        if (!node || node->Removed() || !CompareExchange(node->Data.Status, expected, desired))
            return false;
    }
    Notify();
    return true;
}

void TVirtualTree::SetSelected(const PVirtualNode& node, bool selected) {
    {
        std::lock_guard lock(mutex_);
        if (!node || node->Removed() || node->selected_.load() == selected)
            return;
        node->selected_.store(selected);
        if (selected)
            ++selectedCount_;
        else
            --selectedCount_;
    }
    Notify();
}

void TVirtualTree::ClearSelection() {
    {
        std::lock_guard lock(mutex_);
        if (selectedCount_ == 0)
            return;
        for (TVirtualNode* n = first_.get(); n; n = n->next_.get())
            n->selected_.store(false);
        selectedCount_ = 0;
    }
    Notify();
}

void TVirtualTree::SetCheckMark(const PVirtualNode& node, TCheckState state) {
    if (!node || node->Removed())
        return;
    node->CheckMark.store(state);
    Notify();
}

std::function<void()> OnChanged; // something to show changed
void TVirtualTree::BeginBatch() {
    std::lock_guard lock(mutex_);
    if (batch_.fetch_add(1) == 0)
        batchStart_ = journal_.size();
}

void TVirtualTree::EndBatch() {
    if (batch_.fetch_sub(1) == 1)
        Notify();
}

void TVirtualTree::RepaintNow() {
    Notify();
}

std::vector<PVirtualNode> TVirtualTree::EnableJournal(bool enabled) {
    std::lock_guard lock(mutex_);
    journalOn_ = enabled;
    journal_.clear();
    lastInsertedInFront_ = false;
    batchStart_ = 0;
    std::vector<PVirtualNode> lines;
    if (enabled) {
        lines.reserve(count_);
        for (const PVirtualNode* n = &first_; *n; n = &(*n)->next_)
            lines.push_back(*n);
    }
    return lines;
}

std::vector<TListChange> TVirtualTree::TakeJournal() {
    std::lock_guard lock(mutex_);
    std::vector<TListChange> out;
    if (batch_.load() == 0) {
        SealLastChange();
        out.swap(journal_);
    } else if (batchStart_ > 0) {
        // The change just before the batch may still be open: sealed now, and nothing made
        // inside the batch is merged into it (Record starts a new change after batchStart_).
        if (batchStart_ == journal_.size())
            SealLastChange();
        out.assign(std::make_move_iterator(journal_.begin()),
                   std::make_move_iterator(journal_.begin() + batchStart_));
        journal_.erase(journal_.begin(), journal_.begin() + batchStart_);
        batchStart_ = 0;
    }
    return out;
}

void TVirtualTree::SealLastChange() {
    if (lastInsertedInFront_ && !journal_.empty())
        std::reverse(journal_.back().Nodes.begin(), journal_.back().Nodes.end());
    lastInsertedInFront_ = false;
}

void TVirtualTree::Record(TListChange::TKind kind, int32_t position, const PVirtualNode& node) {
    if (!journalOn_)
        return;
    // A change begun before the current batch stays as it was: it may be handed out alone.
    bool open = !journal_.empty() && !(batch_.load() > 0 && journal_.size() <= batchStart_);
    if (open) {
        TListChange& last = journal_.back();
        // Runs of inserts at one place (or right behind each other) and runs of removals
        // at one place become one change, as directory expansion and clears produce them.
        if (kind == TListChange::Insert && last.Kind == kind) {
            bool single = last.Count == 1;
            if (position == last.Position + last.Count && (single || !lastInsertedInFront_)) {
                last.Nodes.push_back(node);
                ++last.Count;
                lastInsertedInFront_ = false;
                return;
            }
            if (position == last.Position && (single || lastInsertedInFront_)) {
                last.Nodes.push_back(node);
                ++last.Count;
                lastInsertedInFront_ = true;
                return;
            }
        }
        if (kind == TListChange::Remove && last.Kind == kind) {
            if (position == last.Position) {
                ++last.Count;
                return;
            }
            if (position == last.Position - 1) {
                last.Position = position;
                ++last.Count;
                return;
            }
        }
    }
    SealLastChange();
    TListChange change{kind, position, 1, {}};
    if (node)
        change.Nodes.push_back(node);
    journal_.push_back(std::move(change));
}

void TVirtualTree::Notify() {
    changeCount_.fetch_add(1, std::memory_order_acq_rel);
    if (batch_.load() == 0 && OnChanged)
        OnChanged();
}

} // namespace ferrox
