#include "engine/ExpandDir.h"

#include "diag/StatusLine.h"
#include "diag/Trace.h"
#include "engine/PathUtils.h"
#include "platform/FileSystem.h"
#include "platform/SysError.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace ferrox {

namespace {

// True when the directory `target` (which may not exist yet) lies in `source` or is it.
// The deepest existing ancestor of target is resolved, so links and ".." cannot hide it;
// what does not exist yet will be made as plain directories inside it.
bool IsInside(const std::string& source, const std::string& target) {
    TFileIdentity src = GetFileIdentityFollow(source);
    if (!src.Valid)
        return false;
    std::string existing = target;
    while (!existing.empty() && !IsDirectory(existing)) {
        while (!existing.empty() && existing.back() == PathDelim)
            existing.pop_back();
        size_t slash = existing.rfind(PathDelim);
        if (slash == std::string::npos)
            existing.clear();
        else
            existing.resize(slash + 1);
    }
    char buf[PATH_MAX];
    if (!::realpath(existing.empty() ? "." : existing.c_str(), buf))
        return false;
    std::string path = buf;
    while (true) {
        TFileIdentity id = GetFileIdentityFollow(path);
        if (id.Valid && id.Device == src.Device && id.Inode == src.Inode)
            return true;
        if (path == "/")
            return false;
        size_t slash = path.rfind(PathDelim);
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
}

} // namespace

bool ExpandDir(TCopyQueue& queue, TRunState& run, const PVirtualNode& SourceLine,
               const std::string& SourcePath, const PVirtualNode& DestLine,
               const std::string& DestPath, int& errorCode) {
    TTraceScope trace("ExpandDir");
    try {
        if (!DirExists(SourcePath)) {
            errorCode = errno ? errno : ENOTDIR;
            return false;
        }
        std::string SrcDir = SourcePath;
        AddSlash(SrcDir);
        std::string DstDir = AddSlash2(DestPath);

        // The last component with its trailing '/': "photos/" for "/data/photos/".
        std::string cut = SrcDir.substr(0, SrcDir.size() - 1);
        std::string Name = SrcDir.substr(fncLastPos(cut, PathDelim));
        if (Name == "/" || Name == "./" || Name == "../") {
            // The root (or a name that is no name) has nothing to be copied under.
            errorCode = errRootDirectory;
            return false;
        }
        if (IsInside(SrcDir, DstDir + Name)) {
            errorCode = errDirIntoItself;
            return false;
        }
        if (!DirExists(DstDir) && MakeDirectory(DstDir) != 0) {
            errorCode = errno;
            return false;
        }
        if (!DirExists(DstDir + Name) &&
            MakeDirectory(DstDir + Name, DirectoryCopyMode(SrcDir)) != 0) {
            errorCode = errno;
            return false;
        }

        PVirtualNode LastSource = SourceLine;
        PVirtualNode LastDest = DestLine;
        const std::string entryDest = DstDir + Name;
        int rc = EnumerateDirectory(SrcDir, [&](const TDirEntry& entry) {
            if (run.CopyNowCaptionIs(RunTexts::CopyNowPaused.Caption))
                ShowStatus("Copy currently Paused.");
            run.PauseEvent.Wait();
            if (run.AbortFlag.load() != 0 || run.Terminated.load())
                return false;
            std::lock_guard pair(queue.PairMutex);
            if (entry.Kind == TEntryKind::Directory)
                LastSource = queue.InsertItem(queue.lstCopyFrom, LastSource, false, lsDirWaiting,
                                              SrcDir + entry.Name);
            else
                LastSource = queue.InsertItem(queue.lstCopyFrom, SourceLine, false, lsFileWaiting,
                                              SrcDir + entry.Name);
            LastDest = queue.InsertItem(queue.lstCopyTo, LastDest, false, lsDirWaiting, entryDest);
            return LastSource && LastDest;
        });
        if (rc != 0) {
            errorCode = rc;
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace ferrox
