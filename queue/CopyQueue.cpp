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

TCopyQueue::TPair TCopyQueue::ReadPairLocked(const PVirtualNode& source) {
    TPair p;
    int32_t n = lstCopyFrom.Index(source);
    if (n < 0)
        return p;
    p.Status = source->Data.Status.load();
    p.SourcePath = source->Data.Path;
    p.Move = IsMove(source);
    p.Dest = lstCopyTo.NodeAt(n);
    if (p.Dest)
        p.DestPath = p.Dest->Data.Path;
    return p;
}

TCopyQueue::TPair TCopyQueue::ReadPair(const PVirtualNode& source) {
    std::lock_guard lock(PairMutex);
    return ReadPairLocked(source);
}

bool TCopyQueue::TakePair(const PVirtualNode& source, TPair& pair) {
    std::lock_guard lock(PairMutex);
    pair = ReadPairLocked(source);
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

void TCopyQueue::procEditNode(TLineList& list, int64_t n, int32_t status) {
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
            procEditNode(lstCopyTo, n, -1);
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
                    procEditNode(lstCopyTo, n, -1);
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

void TCopyQueue::ChangeNodeStates(bool move) {
    TTraceScope trace("ChangeNodeStates");
    TCheckState mark = move ? TCheckState::csCheckedNormal : TCheckState::csUncheckedNormal;
    for (PVirtualNode node = lstCopyFrom.FirstSelectedNode(); node;
         node = lstCopyFrom.NextSelectedNode(node))
        lstCopyFrom.SetCheckMark(node, mark);
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
            if (lstCopyFrom.CompareExchangeStatus(node, status, waiting))
                procEditNode(lstCopyTo, lstCopyFrom.Index(node), lsDirWaiting);
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

void TCopyQueue::FillDestLines(const std::string& path) {
    // A directory expansion inserts pairs meanwhile: both counts and the appends are one
    // step, or the lists end up unequal.
    std::lock_guard pair(PairMutex);
    uint32_t sources = lstCopyFrom.RootNodeCount();
    uint32_t dests = lstCopyTo.RootNodeCount();
    lstCopyTo.BeginBatch();
    for (; dests < sources; ++dests)
        lstCopyTo.AppendNode(path, lsDirWaiting);
    lstCopyTo.EndBatch();
}

void TCopyQueue::Clear(TLineList& list) {
    list.RemoveAllNodes();
    list.RepaintNow();
}

} // namespace ferrox
