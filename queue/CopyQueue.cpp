#include "queue/CopyQueue.h"

#include "diag/StatusLine.h"
#include "diag/Trace.h"

namespace ferrox {

void TCopyQueue::Autosave() {
    if (autosave_)
        autosave_();
}

void TCopyQueue::AddItem(TLineList& list, const std::string& path, bool move, int32_t status) {
    TTraceScope trace("AddItem");
    // A run takes a pair under PairMutex: a move line must not be seen there before it
    // carries its mark, or it would be copied and its source kept.
    std::unique_lock pair(PairMutex, std::defer_lock);
    if (move)
        pair.lock();
    try {
        PVirtualNode node = list.AppendNode(path, status);
        if (move)
            list.SetCheckMark(node, TCheckState::csCheckedNormal);
    } catch (...) {
        // Silent by design: a line that cannot be made (out of memory) is left out, and
        // the list shows what it holds. The callers go on with the next path.
    }
}

PVirtualNode TCopyQueue::InsertItem(TLineList& list, const PVirtualNode& anchor, bool move,
                                    int32_t status, const std::string& path) {
    TTraceScope trace("InsertItem");
    PVirtualNode node;
    try {
        node = list.InsertNodeAfter(anchor, path, status);
        if (node && move)
            list.SetCheckMark(node, TCheckState::csCheckedNormal);
    } catch (...) {
        // Silent as in AddItem: the caller sees no line (or one without its mark) and
        // decides; the expansion fails its directory line when an anchor is missing.
    }
    return node;
}

PVirtualNode TCopyQueue::GetToNode(int64_t n) {
    TTraceScope trace("GetToNode");
    return lstCopyTo.NodeAt(n);
}

void TCopyQueue::ReadPairLocked(const PVirtualNode& source, TPair& p) {
    // Every field is set again; the paths keep the strings' storage, so a run reading pair
    // after pair into the same one allocates nothing for them.
    p.FromShape = lstCopyFrom.Shape();
    p.ToShape = lstCopyTo.Shape();
    p.SourcePath.clear();
    p.DestPath.clear();
    p.Dest.reset();
    p.Move = false;
    p.Status = -1;
    p.Index = lstCopyFrom.Index(source);
    if (p.Index < 0)
        return;
    p.Status = source->Data.Status.load();
    source->Data.Path.AppendTo(p.SourcePath);
    p.Move = IsMove(source);
    p.Dest = lstCopyTo.NodeAt(p.Index);
    if (p.Dest)
        p.Dest->Data.Path.AppendTo(p.DestPath);
}

TCopyQueue::TPair TCopyQueue::ReadPair(const PVirtualNode& source) {
    TPair p;
    ReadPair(source, p);
    return p;
}

void TCopyQueue::ReadPair(const PVirtualNode& source, TPair& into) {
    std::lock_guard lock(PairMutex);
    ReadPairLocked(source, into);
}

bool TCopyQueue::TakePair(const PVirtualNode& source, TPair& pair, TPair* ahead) {
    std::lock_guard lock(PairMutex);
    if (ahead && ahead->Index >= 0 && ahead->FromShape == lstCopyFrom.Shape() &&
        ahead->ToShape == lstCopyTo.Shape()) {
        // Both lines stand where they stood (paths never change): only the source line's
        // status and mark may have. (The move hands the ahead pair's string storage over;
        // libstdc++ gives it the taken pair's old storage back.)
        pair = std::move(*ahead);
        pair.Status = source->Data.Status.load();
        pair.Move = IsMove(source);
    } else {
        ReadPairLocked(source, pair);
    }
    if (!pair.Copyable())
        return false;
    const int32_t copying = IsDirStatus(pair.Status) ? lsDirCopying : lsFileCopying;
    // Removals and resets hold PairMutex too, so neither line changed since the read; the
    // exchange still keeps a line that someone set without it.
    if (!lstCopyFrom.CompareExchangeStatus(source, pair.Status, copying))
        return false;
    lstCopyTo.SetStatus(pair.Dest, lsDirCopying);
    return true;
}

void TCopyQueue::SetLineStatusOrRemove(TLineList& list, int64_t n, int32_t status) {
    TTraceScope trace("procEditNode");
    PVirtualNode node = list.NodeAt(n);
    if (!node)
        return;
    if (status == -1)
        list.RemoveNode(node);
    else
        list.SetStatus(node, status);
}

void TCopyQueue::DelLines(TLineList& list, bool withDest, const PVirtualNode& line) {
    TTraceScope trace("DelLines");
    if (line) {
        std::lock_guard pair(PairMutex);
        int32_t n = list.RemoveNode(line);
        if (withDest && n >= 0)
            SetLineStatusOrRemove(lstCopyTo, n, -1);
    } else {
        PVirtualNode node = list.FirstSelectedNode();
        while (node) {
            PVirtualNode next = list.NextSelectedNode(node);
            int32_t n;
            {
                // The position is read and the line removed in one step, and its
                // destination goes before any other change can shift the pairing.
                std::lock_guard pair(PairMutex);
                n = list.RemoveNodeUnless(node, IsInProgressStatus);
                if (withDest && n >= 0)
                    SetLineStatusOrRemove(lstCopyTo, n, -1);
            }
            if (n == -2)
                StatusLine.Show(MsgCannotDeleteRunning);
            node = next;
        }
        Autosave();
    }
    lstCopyFrom.RepaintNow();
    lstCopyTo.RepaintNow();
}

void TCopyQueue::ChangeNodeStates(bool move, const PVirtualNode& line) {
    TTraceScope trace("ChangeNodeStates");
    TCheckState mark = move ? TCheckState::csCheckedNormal : TCheckState::csUncheckedNormal;
    {
        std::lock_guard pair(PairMutex);
        if (line)
            lstCopyFrom.SetCheckMark(line, mark);
        else
            for (PVirtualNode node = lstCopyFrom.FirstSelectedNode(); node;
                 node = lstCopyFrom.NextSelectedNode(node))
                lstCopyFrom.SetCheckMark(node, mark);
    }
    lstCopyFrom.RepaintNow();
}

void TCopyQueue::ResetCopyStatus() {
    TTraceScope trace("mnupopResetCopyStatusClick");
    try {
        for (PVirtualNode node = lstCopyFrom.FirstSelectedNode(); node;
             node = lstCopyFrom.NextSelectedNode(node)) {
            int32_t status = StatusOf(node);
            int32_t waiting;
            if (status == lsFileDone || status == lsFileFailed)
                waiting = lsFileWaiting;
            else if (status == lsDirDone || status == lsDirFailed)
                waiting = lsDirWaiting;
            else {
                if (status == lsFileCopying)
                    StatusLine.Show(MsgCannotDeleteRunning);
                continue;
            }
            std::lock_guard pair(PairMutex);
            // Only from the status just read: a line the run has picked up meanwhile stays.
            if (lstCopyFrom.CompareExchangeStatus(node, status, waiting)) {
                // Waiting again, it has not failed: the reason of its last run goes.
                node->Data.ClearNote();
                const int32_t n = lstCopyFrom.Index(node);
                SetLineStatusOrRemove(lstCopyTo, n, lsDirWaiting);
                if (PVirtualNode dest = lstCopyTo.NodeAt(n))
                    dest->Data.ClearNote();
            }
        }
    } catch (...) {
        // Silent by design: the walk ends where it failed, and the repaint and the save
        // below show and keep exactly the lines that were reset.
    }
    lstCopyFrom.RepaintNow();
    lstCopyTo.RepaintNow();
    Autosave();
}

void TCopyQueue::ClearCompleted() {
    TTraceScope trace("mnupopFromClearCompletedClick");
    PVirtualNode lastKept;
    PVirtualNode line = lstCopyFrom.FirstNode();
    while (line) {
        if (IsCompletedStatus(StatusOf(line))) {
            DelLines(lstCopyFrom, true, line);
            line = lastKept ? lstCopyFrom.NextNode(lastKept) : lstCopyFrom.FirstNode();
        } else {
            lastKept = line;
            line = lstCopyFrom.NextNode(line);
        }
    }
    Autosave();
}

uint32_t TCopyQueue::FillDestLines(const std::string& path) {
    // A directory expansion inserts pairs meanwhile: both counts and the appends are one
    // step, or the lists end up unequal.
    std::lock_guard pair(PairMutex);
    const uint32_t sources = lstCopyFrom.RootNodeCount();
    uint32_t dests = lstCopyTo.RootNodeCount();
    const uint32_t before = dests;
    lstCopyTo.BeginBatch();
    for (; dests < sources; ++dests)
        lstCopyTo.AppendNode(path, lsDirWaiting);
    lstCopyTo.EndBatch();
    return dests > before ? dests - before : 0;
}

uint32_t TCopyQueue::AddOwnLines(const std::vector<TNewLine>& lines, bool move,
                                 const std::optional<std::string>& dest) {
    // One step: a run expanding a directory inserts pairs too, and the positions counted
    // here must be the ones the lines land at.
    std::lock_guard pair(PairMutex);
    const uint32_t sources = lstCopyFrom.RootNodeCount();
    const uint32_t dests = lstCopyTo.RootNodeCount();
    uint32_t removed = 0;
    // Where each list's next new line goes: after the anchor, or first of all.
    PVirtualNode fromAnchor = lstCopyFrom.LastNode(), toAnchor = lstCopyTo.LastNode();
    bool fromFirst = false, toFirst = false;
    if (dest && sources > dests) {
        fromAnchor = dests > 0 ? lstCopyFrom.NodeAt(dests - 1) : nullptr;
        fromFirst = dests == 0;
    } else if (dest && dests > sources) {
        toAnchor = sources > 0 ? lstCopyTo.NodeAt(sources - 1) : nullptr;
        toFirst = sources == 0;
    } else if (!dest) {
        for (; lstCopyTo.RootNodeCount() > sources; ++removed)
            lstCopyTo.RemoveNode(lstCopyTo.LastNode());
    }
    auto place = [](TLineList& list, PVirtualNode& anchor, bool& first, const std::string& path,
                    int32_t status) {
        anchor =
            first ? list.InsertNodeFirst(path, status) : list.InsertNodeAfter(anchor, path, status);
        first = false;
    };
    lstCopyFrom.BeginBatch();
    lstCopyTo.BeginBatch();
    try {
        for (const TNewLine& line : lines) {
            place(lstCopyFrom, fromAnchor, fromFirst, line.Path, line.Status);
            PVirtualNode source = fromAnchor;
            if (move)
                lstCopyFrom.SetCheckMark(source, TCheckState::csCheckedNormal);
            if (dest) {
                try {
                    place(lstCopyTo, toAnchor, toFirst, *dest, lsDirWaiting);
                } catch (...) {
                    // A source line without its own destination would take the next one's.
                    lstCopyFrom.RemoveNode(source);
                    throw;
                }
            }
        }
    } catch (...) {
        // Silent as AddItem is: a line that cannot be made (out of memory) is left out, and
        // the lines made so far are whole pairs.
    }
    lstCopyTo.EndBatch();
    lstCopyFrom.EndBatch();
    return removed;
}

void TCopyQueue::Clear(TLineList& list) {
    list.RemoveAllNodes();
    list.RepaintNow();
}

} // namespace ferrox
