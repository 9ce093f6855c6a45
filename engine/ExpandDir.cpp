#include "engine/ExpandDir.h"

#include "diag/Trace.h"
#include "platform/FileSystem.h"
#include "platform/SysError.h"
#include "platform/UnnamedFile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace ferrox {

size_t TSeenSizes::Home(const TVirtualNode* line) const {
    return HashOfLine(line) & (slots_.size() - 1);
}

void TSeenSizes::Grow() {
    std::vector<TSlot> old(std::max<size_t>(64, 2 * slots_.size()));
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (const TSlot& slot : old) {
        if (!slot.Line)
            continue;
        size_t i = Home(slot.Line);
        while (slots_[i].Line)
            i = (i + 1) & mask;
        slots_[i] = slot;
    }
}

void TSeenSizes::Note(const TVirtualNode* line, int64_t size) {
    if (count_ >= Most) {
        std::fill(slots_.begin(), slots_.end(), TSlot{});
        count_ = 0;
    }
    if (2 * (count_ + 1) > slots_.size())
        Grow();
    const size_t mask = slots_.size() - 1;
    size_t i = Home(line);
    while (slots_[i].Line && slots_[i].Line != line)
        i = (i + 1) & mask;
    if (!slots_[i].Line)
        ++count_;
    slots_[i] = {line, size};
}

std::optional<int64_t> TSeenSizes::Take(const TVirtualNode* line) {
    if (count_ == 0)
        return std::nullopt;
    const size_t mask = slots_.size() - 1;
    size_t i = Home(line);
    while (slots_[i].Line != line) {
        if (!slots_[i].Line)
            return std::nullopt;
        i = (i + 1) & mask;
    }
    const int64_t size = slots_[i].Size;
    // The entries behind the freed slot that may stand in it move up, so no later look
    // stops at a free slot before its entry.
    for (size_t j = (i + 1) & mask; slots_[j].Line; j = (j + 1) & mask) {
        const size_t home = Home(slots_[j].Line);
        if (((j - home) & mask) >= ((j - i) & mask)) {
            slots_[i] = slots_[j];
            i = j;
        }
    }
    slots_[i] = {};
    --count_;
    return size;
}

namespace {

// True when the directory `target` (which may not exist yet) lies in `source` or is it.
// The deepest existing ancestor of target is resolved, so links and ".." cannot hide it;
// what does not exist yet will be made as plain directories inside it.
bool IsInside(const std::string& source, const std::string& target) {
    TFileIdentity src = GetFileIdentityFollow(source);
    if (!src.Valid)
        return false;
    std::string existing = target.empty() ? "." : target;
    while (!DirExists(existing)) {
        std::string parent = DirectoryOf(WithoutTrailingSlash(existing));
        if (parent == existing)
            break;
        existing = parent;
    }
    char buf[PATH_MAX];
    if (!::realpath(existing.c_str(), buf))
        return false;
    for (std::string path = buf;; path = DirectoryOf(path)) {
        TFileIdentity id = GetFileIdentityFollow(path);
        if (id.Valid && id.Device == src.Device && id.Inode == src.Inode)
            return true;
        if (path == "/")
            return false;
    }
}

// The names that already have a line of their own under the directory line, paired with
// its target directory: the lines of a directory's entries follow its line as one block
// (holding the blocks of expanded subdirectories), beside as many lines of the target
// directory, so both lists are walked together to the first line outside srcDir.
std::unordered_set<std::string> NamesQueuedAfter(TCopyQueue& queue, const PVirtualNode& line,
                                                 const PVirtualNode& destLine,
                                                 const std::string& srcDir,
                                                 const std::string& entryDest) {
    std::unordered_set<std::string> names;
    std::lock_guard pair(queue.PairMutex);
    PVirtualNode n = queue.lstCopyFrom.NextNode(line);
    PVirtualNode d = queue.lstCopyTo.NextNode(destLine);
    for (; n; n = queue.lstCopyFrom.NextNode(n), d = queue.lstCopyTo.NextNode(d)) {
        const std::string& path = n->Data.Path;
        if (path.size() <= srcDir.size() || path.compare(0, srcDir.size(), srcDir) != 0)
            break;
        if (d && d->Data.Path == entryDest &&
            path.find(PathDelim, srcDir.size()) == std::string::npos)
            names.insert(path.substr(srcDir.size()));
    }
    return names;
}

// The new directory's file system is one the run writes to.
void NoteWritten(TWrittenFileSystems& written, dev_t device, const std::string& dir) {
    if (written.Knows(device))
        return;
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0)
        written.Note(device, std::make_shared<const TFd>(fd));
}

} // namespace

TExpandResult ExpandDir(TCopyQueue& queue, TRunState& run, TRunWrites& writes,
                        const PVirtualNode& SourceLine, const std::string& SourcePath,
                        const PVirtualNode& DestLine, const std::string& DestPath, TRunTally* tally,
                        bool Move, TSeenSizes* sizes) {
    TTraceScope trace("ExpandDir");
    try {
        if (int rc = CheckDirectory(SourcePath))
            return {rc, false, SourcePath};
        std::string SrcDir = SourcePath;
        AddSlash(SrcDir);
        const std::string DstDir = WithTrailingSlash(DestPath);

        const std::string Name = NamePart(WithoutTrailingSlash(SrcDir));
        if (Name.empty() || Name == "." || Name == "..") {
            // The root (or a name that is no name) has nothing to be copied under.
            return {errRootDirectory, false, SourcePath};
        }
        const std::string entryDest = DstDir + Name + PathDelim;
        if (IsInside(SrcDir, entryDest))
            return {errDirIntoItself, false, SourcePath};
        // The destination may be, or lead through, a link (the user named it); the
        // directory made or entered below it never is, or the tree would be written
        // wherever that link points.
        const TMakeDirResult made =
            MakeDirectoryIn(WithoutTrailingSlash(DstDir), Name, DirectoryCopyMode(SrcDir));
        if (made.Error != 0)
            return {made.Error, false, made.AtParent ? DestPath : entryDest};
        NoteWritten(writes.FileSystems, made.Device, entryDest);
        if (made.Made)
            if (std::optional<TFileTimes> times = TimesOf(SrcDir))
                writes.Directories.Add({entryDest, *times});

        std::unordered_set<std::string> queued =
            NamesQueuedAfter(queue, SourceLine, DestLine, SrcDir, entryDest);
        const bool fuse = IsFuse(SrcDir);
        PVirtualNode LastSource = SourceLine;
        PVirtualNode LastDest = DestLine;
        bool stopped = false;
        bool insertFailed = false;
        // Each entry's path is made in the same string, without an allocation per entry.
        std::string entryPath = SrcDir;
        auto onEntry = [&](const TDirEntry& entry) {
            entryPath.resize(SrcDir.size());
            entryPath += entry.Name;
            run.Reached(TRunPoint::EntryReached, entryPath);
            if (!run.PassPauseGate()) {
                stopped = true;
                return false;
            }
            if (!queued.empty() && queued.erase(entry.Name) > 0)
                return true;
            // A temporary of ours (another run's copy in progress, or one a killed run left)
            // is no file of the user's, nor is FUSE's own stand-in for a file removed
            // while open (a file a Move took from under another line's copy, say).
            if (entry.Kind != TEntryKind::Directory &&
                (IsCopyTempName(entry.Name) || (fuse && IsFuseHiddenName(entry.Name))))
                return true;
            const bool isDirectory = entry.Kind == TEntryKind::Directory;
            std::lock_guard pair(queue.PairMutex);
            LastSource =
                queue.InsertItem(queue.lstCopyFrom, isDirectory ? LastSource : SourceLine, Move,
                                 isDirectory ? lsDirWaiting : lsFileWaiting, entryPath);
            LastDest = queue.InsertItem(queue.lstCopyTo, LastDest, false, lsDirWaiting, entryDest);
            // Without its anchor the next line would land at the end of the list.
            insertFailed = !LastSource || !LastDest;
            if (tally && !insertFailed) {
                tally->Added(LastSource, isDirectory, entry.Size);
                if (sizes && !isDirectory && entry.Size >= 0)
                    sizes->Note(LastSource.get(), entry.Size);
            }
            return !insertFailed;
        };
        int rc = EnumerateDirectory(SrcDir, onEntry, tally != nullptr);
        if (rc != 0)
            return {rc, false, SourcePath};
        if (insertFailed)
            return {ENOMEM, false, SourcePath};
        return {0, !stopped, {}};
    } catch (const std::bad_alloc&) {
        return {ENOMEM, false, SourcePath};
    }
}

} // namespace ferrox
