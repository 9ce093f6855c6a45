#include "core/ListCommands.h"

#include "diag/StatusLine.h"
#include "diag/Trace.h"
#include "platform/Path.h"

#include <exception>

namespace ferrox {

bool HoldsLineBreak(const std::string& path) {
    return path.find_first_of("\r\n") != std::string::npos;
}

std::string LineBreakMessage(const std::vector<std::string>& refused) {
    if (refused.empty())
        return {};
    std::string shown;
    for (char c : refused.front())
        shown += c == '\n'   ? std::string("\\n")
                 : c == '\r' ? std::string("\\r")
                             : std::string(1, c);
    std::string text = MsgLineBreakInPath + ("[" + shown + "]");
    if (refused.size() > 1)
        text += " and " + std::to_string(refused.size() - 1) + " more";
    return text;
}

std::vector<std::string> TListCommands::Storable(const std::vector<std::string>& paths,
                                                 std::vector<std::string>& refused) {
    std::vector<std::string> storable;
    for (const std::string& path : paths)
        (HoldsLineBreak(path) ? refused : storable).push_back(path);
    return storable;
}

void TListCommands::TellLineBreaks(const std::vector<std::string>& refused) {
    // Queued, it would be copied now and missing after the next start, without a word.
    if (!refused.empty())
        queue_.StatusLine.Show(LineBreakMessage(refused));
}

void TListCommands::AddFiles(const std::optional<std::vector<std::string>>& files) {
    TTraceScope trace("btnSelFilesClick");
    std::vector<std::string> refused;
    if (files)
        for (const std::string& file : Storable(*files, refused))
            queue_.AddItem(queue_.lstCopyFrom, file, false, lsFileWaiting);
    // Also after a cancel: the file is then sure to show what the lists show.
    queue_.Autosave();
    TellLineBreaks(refused);
}

void TListCommands::AddSourceFolder() {
    TTraceScope trace("btnSelDir1Click");
    std::string folder = LastSourceDir_;
    std::vector<std::string> refused;
    if (BrowseForDir(SelectDirectoryCaption, folder)) {
        LastSourceDir_ = folder;
        if (!Storable({folder}, refused).empty())
            queue_.AddItem(queue_.lstCopyFrom, folder, false, lsDirWaiting);
    }
    queue_.Autosave();
    TellLineBreaks(refused);
}

void TListCommands::AddDestinationFolder() {
    TTraceScope trace("btnSelDir2Click");
    std::string folder = LastDestDir_;
    std::vector<std::string> refused;
    if (BrowseForDir(SelectDirectoryCaption, folder)) {
        // Remembered even when every source line has its destination already.
        LastDestDir_ = folder;
        if (!Storable({folder}, refused).empty())
            queue_.FillDestLines(folder);
    }
    queue_.Autosave();
    TellLineBreaks(refused);
}

bool TListCommands::BrowseForDir(const std::string& caption, std::string& folder) {
    std::string start = folder;
    // A folder removed since it was chosen would leave the dialog somewhere arbitrary.
    if (!start.empty() && !DirExists(start))
        start.clear();
    if (!BrowseDialog)
        return false;
    std::optional<std::string> chosen = BrowseDialog(caption, start);
    // An empty answer is what a folder dialog gives on a cancel; it names no folder.
    if (!chosen || chosen->empty())
        return false;
    folder = *chosen;
    return true;
}

void TListCommands::AddDroppedPaths(TLineList& list, bool isDestinationList,
                                    const std::vector<std::string>& paths, bool move) {
    TTraceScope trace("DragDropit");
    list.BeginBatch();
    try {
        for (const std::string& path : paths) {
            if (DirExists(path))
                queue_.AddItem(list, path, move, lsDirWaiting);
            else if (!isDestinationList)
                queue_.AddItem(list, path, move, lsFileWaiting);
            // A destination must be a directory: a file dropped there is left out.
        }
    } catch (...) {
        // Silent by design: the drop ends here and what it added so far stays, which is
        // what the user sees in the list; nothing of the drop is half-made.
    }
    list.EndBatch();
    list.RepaintNow();
    queue_.Autosave();
}

void TListCommands::TellNotLocal(const std::vector<std::string>& notLocal) {
    if (notLocal.empty())
        return;
    // A file manager offers network places (sftp:, smb:...) and its own views (trash:,
    // recent:) as URLs no path leads to; left out without a word, the user would take
    // them for queued.
    std::string text = MsgOnlyLocalFiles + ("[" + notLocal.front() + "]");
    if (notLocal.size() > 1)
        text += " and " + std::to_string(notLocal.size() - 1) + " more";
    queue_.StatusLine.Show(text);
}

void TListCommands::DropOnSources(const std::vector<std::string>& dropped,
                                  const std::vector<std::string>& notLocal, bool move) {
    TTraceScope trace("lstCopyFromDropFiles");
    std::vector<std::string> refused;
    const std::vector<std::string> paths = Storable(dropped, refused);
    // When nothing of it reached the list, there is nothing to save either.
    if (!paths.empty() || (notLocal.empty() && refused.empty()))
        AddDroppedPaths(queue_.lstCopyFrom, false, paths, move);
    // After the save, which empties the status line.
    TellNotLocal(notLocal);
    TellLineBreaks(refused);
}

void TListCommands::DropOnDestinations(const std::vector<std::string>& dropped,
                                       const std::vector<std::string>& notLocal) {
    TTraceScope trace("lstCopyToDropFiles");
    std::vector<std::string> refused;
    const std::vector<std::string> paths = Storable(dropped, refused);
    if (paths.empty() && (!notLocal.empty() || !refused.empty())) {
        // Nothing of it reached the list: not a drop that pads the destinations.
        TellNotLocal(notLocal);
        TellLineBreaks(refused);
        return;
    }
    TLineList& to = queue_.lstCopyTo;
    to.BeginBatch();
    try {
        AddDroppedPaths(to, true, paths);
        // Even when nothing of the drop was a folder: the drop still means "this is where
        // the rest goes", and the last line is the folder the user sees at the end.
        if (PVirtualNode last = to.LastNode())
            queue_.FillDestLines(last->Data.Path);
    } catch (...) {
        // Silent as for any drop: the lines added so far stay, and the padding below is
        // only the last line's folder again.
    }
    to.EndBatch();
    to.RepaintNow();
    queue_.Autosave();
    TellNotLocal(notLocal);
    TellLineBreaks(refused);
}

uint32_t TListCommands::AddOwnLines(const std::vector<std::string>& paths, bool move,
                                    const std::optional<std::string>& dest) {
    TTraceScope trace("lstCopyFromDropFiles");
    uint32_t removed;
    {
        TTraceScope drop("DragDropit");
        std::vector<TCopyQueue::TNewLine> lines;
        lines.reserve(paths.size());
        for (const std::string& path : paths)
            lines.push_back({path, DirExists(path) ? lsDirWaiting : lsFileWaiting});
        removed = queue_.AddOwnLines(lines, move, dest);
    }
    queue_.lstCopyFrom.RepaintNow();
    queue_.lstCopyTo.RepaintNow();
    queue_.Autosave();
    return removed;
}

uint32_t TListCommands::GiveDestination(const std::string& dest) {
    TTraceScope trace("lstCopyToDropFiles");
    const uint32_t given = queue_.FillDestLines(dest);
    queue_.lstCopyTo.RepaintNow();
    queue_.Autosave();
    return given;
}

void TListCommands::CopySelectedLinesNow() {
    // Traces only when it goes ahead, and does nothing at all during a run.
    control_.CopySelectedLinesNow();
}

void TListCommands::DeleteFullLines() {
    TTraceScope trace("mnupopFromDelFullLineClick");
    // Refuses the lines in progress one by one, saves and repaints.
    queue_.DelLines(queue_.lstCopyFrom, true, nullptr);
}

void TListCommands::DeleteSourceLines() {
    TTraceScope trace("mnupopFromDelFromLineClick");
    queue_.DelLines(queue_.lstCopyFrom, false, nullptr);
}

void TListCommands::ResetCopyStatus() {
    // The operation traces under the command's name, repaints and saves.
    queue_.ResetCopyStatus();
}

bool TListCommands::RefuseClearWhileRunning() {
    if (!run_.CopyRunning.load())
        return false;
    // Clearing would take the lines the run is working on away from under it.
    queue_.StatusLine.Show(MsgCannotClearRunning);
    return true;
}

void TListCommands::ClearSources() {
    TTraceScope trace("mnupopFromClearClick");
    if (RefuseClearWhileRunning())
        return;
    queue_.Clear(queue_.lstCopyFrom);
    queue_.Autosave();
}

void TListCommands::MarkMove(bool move) {
    TTraceScope trace(move ? "mnupopFromMoveEnableClick" : "mnupopFromMoveDisableClick");
    queue_.ChangeNodeStates(move);
    queue_.Autosave();
}

void TListCommands::MarkLineMove(const PVirtualNode& line, bool move) {
    TTraceScope trace("lstCopyFromChecked");
    // Only a source line has the box; one removed meanwhile has nothing left to mark.
    if (!line || line->Removed() || line->CheckKind.load() != TCheckType::CheckKindTwoState)
        return;
    queue_.ChangeNodeStates(move, line);
    queue_.Autosave();
}

void TListCommands::ClearCompleted() {
    try {
        if (queue_.lstCopyFrom.RootNodeCount() == 0) {
            // The operation traces this name when it runs; the refusal traces it here.
            TTraceScope trace("mnupopFromClearCompletedClick");
            if (!run_.CopyRunning.load())
                queue_.StatusLine.Show(MsgNothingToCheck);
        } else {
            queue_.ClearCompleted();
        }
    } catch (const std::exception& e) {
        queue_.StatusLine.Show(std::string("Exception Error: ") + e.what());
    } catch (...) {
        queue_.StatusLine.Show("Exception Error: unknown error");
    }
    queue_.lstCopyFrom.RepaintNow();
    queue_.lstCopyTo.RepaintNow();
}

void TListCommands::DeleteDestinationLines() {
    TTraceScope trace("mnupopToDelLineClick");
    queue_.DelLines(queue_.lstCopyTo, false, nullptr);
}

void TListCommands::ClearDestinations() {
    TTraceScope trace("mnupopToClearClick");
    if (RefuseClearWhileRunning())
        return;
    queue_.Clear(queue_.lstCopyTo);
    queue_.Autosave();
}

} // namespace ferrox
