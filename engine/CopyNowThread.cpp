#include "engine/CopyNowThread.h"

#include "diag/Clock.h"
#include "diag/Trace.h"
#include "engine/ExpandDir.h"
#include "engine/LineCopy.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/SysError.h"
#include "platform/ThreadName.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <unistd.h>

namespace ferrox {

namespace {

// How long the flush at the end may take before the status line says what the run waits
// for.
constexpr auto QuietFlush = std::chrono::milliseconds(200);
constexpr auto AbortCheck = std::chrono::milliseconds(20);

// Files side by side on one device, where the device lets it choose.
constexpr int SolidFilesAtOnce = 4;
constexpr int NetworkFilesAtOnce = 8;
// A verified copy waits for its file to reach the device before it reads it back, and
// that wait, not the device, sets the pace of small files: many side by side share one
// journal commit. A rotating disk takes a few, its seeks against their waits.
constexpr int VerifiedFilesAtOnce = MaxWorkers;
constexpr int VerifiedRotatingFilesAtOnce = 4;
// A file at least this large has its device to itself.
constexpr int64_t AloneAbove = int64_t(64) << 20;
// Below this size a file on a local device costs its directory entry, not its data: the
// kernel takes the directory's lock for each create and name, so files of one directory
// side by side only wait for each other (and the hand-over to a thread costs as much as
// the copy). The run copies them itself, one at a time.
constexpr int64_t SmallFileBelow = int64_t(1) << 20;
// Lines the walk looks through for the next folder line ahead before it takes its next
// line: a long stretch of file lines costs no wait to the files in flight.
constexpr int LookAheadAtMost = 1024;
// Target directories whose share is remembered: lanes of several folders take turns.
constexpr size_t SharesKept = 64;

// "Failed 14:02:11: Permission denied", for the failed line's tooltip.
std::string FailureNote(int code) {
    const std::time_t t = std::chrono::system_clock::to_time_t(ClockNow());
    std::tm local{};
    ::localtime_r(&t, &local);
    char when[16];
    std::strftime(when, sizeof when, "%H:%M:%S", &local);
    return std::string("Failed ") + when + ": " + SysErrorMessage(code);
}

// A file line that failed as the run tells it: stopped part-way by the abort (the copy
// fails with ECANCELED then, and only then), or failed at its destination folder when that
// is not there, else at its source.
TRunEvent FileLineFailed(const PVirtualNode& Source, const TCopyQueue::TPair& pair,
                         const TLineCopyResult& copy) {
    if (copy.Error == ECANCELED) {
        TRunEvent stopped{TRunEvent::LineInterrupted, Source, pair.SourcePath, copy.Error};
        stopped.Bytes = copy.Written;
        stopped.Size = copy.Size;
        return stopped;
    }
    const bool noFolder = !copy.SourceMissing && CheckDirectory(pair.DestPath) != 0;
    return {TRunEvent::LineFailed, Source, pair.SourcePath, copy.Error,
            noFolder ? pair.DestPath : pair.SourcePath};
}

} // namespace

TCopyNOWThread::TCopyNOWThread(TCopyQueue& queue, TRunState& run)
    : queue_(queue), run_(run), settings_(run.Settings),
      tally_(run.Progress.Run, run.RunNumber.fetch_add(1) + 1) {}

TCopyNOWThread::~TCopyNOWThread() {
    Terminate();
    WaitFor();
}

void TCopyNOWThread::Start() {
    thread_ = std::thread([this] {
        NameThisThread("ferrox-worker");
        Execute();
    });
}

void TCopyNOWThread::Terminate() {
    run_.Terminated.store(true);
}

void TCopyNOWThread::WaitFor() {
    if (thread_.joinable())
        thread_.join();
}

bool TCopyNOWThread::Stopping() const {
    return run_.Stopping();
}

void TCopyNOWThread::Finish(const PVirtualNode& Source, const PVirtualNode& Dest, bool ok,
                            int32_t done, int32_t failed, int code) {
    queue_.lstCopyFrom.SetStatus(Source, ok ? done : failed);
    queue_.lstCopyTo.SetStatus(Dest, ok ? lsDirDone : lsDirFailed);
    // A failed line says why in both lists; one that is copied after all forgets it.
    if (ok) {
        Source->Data.ClearNote();
        Dest->Data.ClearNote();
    } else {
        const std::string note = FailureNote(code);
        Source->Data.SetNote(note);
        Dest->Data.SetNote(note);
    }
}

TCopyNOWThread::TShare TCopyNOWThread::ShareOf(const std::string& dir) {
    if (auto known = shares_.find(dir); known != shares_.end())
        return known->second;
    TShare share;
    const TDeviceKind kind = run_.Seams.DeviceKindOf(dir, share.Device);
    const int workers = settings_.Workers;
    const bool verify = settings_.VerifyCopies;
    if (kind == TDeviceKind::Unknown)
        share.Limit = 1; // the copy will fail and say why; nothing to share
    else if (workers > 0)
        share.Limit = workers;
    else if (verify)
        share.Limit =
            kind == TDeviceKind::Rotating ? VerifiedRotatingFilesAtOnce : VerifiedFilesAtOnce;
    else if (kind == TDeviceKind::Network)
        share.Limit = NetworkFilesAtOnce;
    else if (kind == TDeviceKind::Solid)
        share.Limit = SolidFilesAtOnce;
    // A share's small files wait for its answers, which overlap; a verified copy waits for
    // the disk, where waits side by side share a journal commit; a number the user chose
    // is kept.
    share.SmallFilesHere = workers <= 0 && !verify && kind != TDeviceKind::Network;
    if (shares_.size() >= SharesKept)
        shares_.clear();
    shares_.emplace(dir, share);
    return share;
}

std::optional<TFilePool::TPlace>
TCopyNOWThread::ReservePlace(const TVirtualNode* line, const TCopyQueue::TPair& pair, bool* here) {
    const TShare share = ShareOf(pair.DestPath);
    // One at a time is the run's own copy, whatever the file's size: no lookup of it here
    // (the copy looks it up anyway), and no hand-over to a thread and back.
    if (share.Limit == 1) {
        *here = true;
        return pool_->Reserve(share.Device, 1, false, [this] { return Stopping(); });
    }
    // A large file has its device to itself: beside others it would only make the head
    // (or the link) share its time with them.
    // The size its directory's expansion found a moment ago, else one look by its path.
    std::optional<int64_t> size = seenSizes_.Take(line);
    if (!size) {
        const TFileIdentity source = GetFileIdentity(pair.SourcePath);
        if (source.Valid)
            size = source.Size;
    }
    const bool alone = size && *size >= AloneAbove;
    *here = share.SmallFilesHere && size && *size < SmallFileBelow;
    return pool_->Reserve(share.Device, share.Limit, alone, [this] { return Stopping(); });
}

void TCopyNOWThread::StartFileLine(const TFilePool::TPlace& place, const PVirtualNode& Source,
                                   const TCopyQueue::TPair& pair) {
    pool_->Start(place, [this, Source, pair](TCopyContext& context) {
        CopyFileLine(Source, pair, context);
        queue_.lstCopyFrom.RepaintNow();
        queue_.lstCopyTo.RepaintNow();
    });
}

void TCopyNOWThread::CopyFileLine(const PVirtualNode& Source, const TCopyQueue::TPair& pair,
                                  TCopyContext& context) {
    const std::string& S = pair.SourcePath;
    tally_.Taken(Source, false);
    TLineCopyOptions options;
    options.DeleteToRecycle = settings_.DeleteToRecycle;
    options.Context = &context;
    options.Progress = &run_.Progress;
    options.Events = &run_;
    options.Line = Source;
    options.Existing = settings_.ExistingTargets;
    options.Filled = &*filled_;
    options.Verify = settings_.VerifyCopies;
    options.WriteBehind = settings_.FlushAtEnd;
    options.Pace = &run_.Pace;
    const TLineCopyResult copy =
        DoFileCopy(S, JoinPath(pair.DestPath, NameView(S)), pair.Move, run_.AbortAsked, options);
    const bool ok = copy.Ok();
    if (ok)
        writes_.FileSystems.Note(copy.TargetDevice, copy.TargetDir);
    Finish(Source, pair.Dest, ok, lsFileDone, lsFileFailed, copy.Error);
    tally_.FileFinished(ok, copy.Size, copy.Skipped, copy.Error == ECANCELED);
    if (!ok) {
        run_.Tell(FileLineFailed(Source, pair, copy));
    } else if (copy.SourceGone) {
        std::lock_guard lock(movedFromMutex_);
        movedFrom_.insert(WithoutTrailingSlash(DirectoryOf(S)));
    }
}

void TCopyNOWThread::CopyDirLine(const PVirtualNode& Source, const TCopyQueue::TPair& pair) {
    tally_.Taken(Source, true);
    // Lines the expansion inserts count towards this run only when it takes them.
    const TFileIdentity before =
        pair.Move ? GetFileIdentity(WithoutTrailingSlash(pair.SourcePath)) : TFileIdentity{};
    const TExpandResult r =
        ExpandDir(queue_, run_, writes_, Source, pair.SourcePath, pair.Dest, pair.DestPath,
                  run_.CopyThisLineOnly.load() ? nullptr : &tally_, pair.Move, &seenSizes_);
    if (pair.Move && r.Complete && !r.Failed() && before.Valid)
        movedDirectories_.push_back({WithoutTrailingSlash(pair.SourcePath), before});
    tally_.DirectoryFinished(!r.Failed(), r.Complete);
    if (!r.Failed() && !r.Complete) {
        // Stopped part-way: the next run adds the missing entries.
        queue_.lstCopyFrom.SetStatus(Source, lsDirWaiting);
        queue_.lstCopyTo.SetStatus(pair.Dest, lsDirWaiting);
        return;
    }
    Finish(Source, pair.Dest, !r.Failed(), lsDirDone, lsDirFailed, r.Code);
    if (r.Failed()) {
        TRunEvent failed{TRunEvent::LineFailed, Source, pair.SourcePath, r.Code, r.Where};
        failed.Stage =
            r.Where == pair.SourcePath ? TRunEvent::AtDirectory : TRunEvent::AtMakingFolder;
        run_.Tell(failed);
    }
}

bool TCopyNOWThread::PassPauseGate(const PVirtualNode& Source) {
    // Only a paused run looks at the pair before taking it: a line it would pass over
    // anyway does not stop it. The time it waits is no copying time.
    if (!run_.PauseEvent.IsSet() && queue_.ReadPair(Source).Paired()) {
        // The files in flight wait where they are, each at its next chunk (TRunPace).
        return run_.PassPauseGate();
    }
    return !Stopping();
}

TCopyNOWThread::TStep TCopyNOWThread::TakeLine(const PVirtualNode& Source, bool* expanded) {
    TLineList& from = queue_.lstCopyFrom;
    TLineList& to = queue_.lstCopyTo;
    run_.Reached(TRunPoint::LineReached, Source->Data.Path);
    if (!PassPauseGate(Source))
        return TStep::Stop;
    // With files side by side, a file line first waits for a place on its target's
    // device, still waiting itself meanwhile; a Pause clicked then is obeyed before
    // it starts.
    std::optional<TFilePool::TPlace> place;
    bool here = false;
    // The two pairs are the walk's own, read into again for each line (their paths keep
    // their storage); the lines they hold are let go whichever way this returns.
    TCopyQueue::TPair& ahead = aheadPair_;
    TCopyQueue::TPair& pair = takenPair_;
    struct TLetGo {
        TCopyQueue::TPair &A, &B;
        ~TLetGo() {
            A.Dest.reset();
            B.Dest.reset();
        }
    } letGo{ahead, pair};
    if (pool_) {
        queue_.ReadPair(Source, ahead);
        if (ahead.Copyable() && !IsDirStatus(ahead.Status)) {
            if (!(place = ReservePlace(Source.get(), ahead, &here)))
                return TStep::Stop;
            if (!run_.PauseEvent.IsSet()) {
                pool_->Release(*place);
                return TStep::Again; // the same line, through the gate
            }
        }
    }
    // The partner is found by the source line's position now, not carried along from
    // the last line: deletions on one side or of whole pairs shift it, and the user
    // may have changed the lists during a pause.
    if (queue_.TakePair(Source, pair, pool_ ? &ahead : nullptr)) {
        run_.Reached(TRunPoint::LineTaken, pair.SourcePath);
        if (IsDirStatus(pair.Status)) {
            if (place)
                pool_->Release(*place);
            CopyDirLine(Source, pair);
            if (expanded)
                *expanded = true;
        } else if (!pool_) {
            CopyFileLine(Source, pair, *copyContext_);
        } else if (place || (place = ReservePlace(Source.get(), pair, &here))) {
            if (here) {
                CopyFileLine(Source, pair, *copyContext_);
                pool_->Release(*place);
                foldersAtOnce_ = 1;
            } else {
                StartFileLine(*place, Source, pair);
                // No more than a copy thread keeps open: beyond, each file would open its
                // folder again.
                foldersAtOnce_ =
                    std::min(ShareOf(pair.DestPath).Limit, int(TCopyContext::DirsKept));
            }
        } else {
            // Stopped before it had a place: it waits for the next run, as it was.
            from.SetStatus(Source, lsFileWaiting);
            to.SetStatus(pair.Dest, lsDirWaiting);
            return TStep::Stop;
        }
        from.RepaintNow();
        to.RepaintNow();
    } else if (place) {
        pool_->Release(*place);
    }
    return Stopping() ? TStep::Stop : TStep::Next;
}

bool TCopyNOWThread::InLane(const TLane& lane) {
    // A subfolder's line ends its folder's files. A folder line the user removed leaves
    // its files to the walk's own lane, which no longer meets it to take the lane over.
    if (!lane.Next || lane.Folder->Removed() || IsDirStatus(TCopyQueue::StatusOf(lane.Next)))
        return false;
    const std::string& path = lane.Next->Data.Path;
    return path.size() > lane.Dir.size() && path.compare(0, lane.Dir.size(), lane.Dir) == 0 &&
           path.find(PathDelim, lane.Dir.size()) == std::string::npos;
}

TCopyNOWThread::TStep TCopyNOWThread::OpenLaneAhead(std::vector<TLane>& lanes) {
    const TLineList& from = queue_.lstCopyFrom;
    PVirtualNode n = lookedAt_ ? from.NextNode(lookedAt_) : lanes.front().Next;
    for (int looked = 0; n && looked < LookAheadAtMost; ++looked, n = from.NextNode(n)) {
        lookedAt_ = n;
        if (TCopyQueue::StatusOf(n) != lsDirWaiting)
            continue;
        bool expanded = false;
        TStep step;
        while ((step = TakeLine(n, &expanded)) == TStep::Again) {
        }
        if (step == TStep::Stop)
            return step;
        if (expanded) {
            lanes.push_back({from.NextNode(n), n, WithTrailingSlash(n->Data.Path.Str())});
            break;
        }
    }
    return TStep::Next;
}

void TCopyNOWThread::Walk() {
    TLineList& from = queue_.lstCopyFrom;
    if (run_.CopyThisLineOnly.load()) {
        for (PVirtualNode Source = from.FirstSelectedNode(); Source;) {
            const TStep step = TakeLine(Source);
            if (step == TStep::Stop)
                return;
            if (step == TStep::Next)
                Source = from.NextSelectedNode(Source);
        }
        return;
    }
    // The first lane is the walk's own: every line in the list's order, as one at a time
    // takes them. Where files go side by side to a device that takes them so, the folder
    // lines ahead are expanded early, in their order, each into a lane of its folder's
    // files; the lanes take a line each in turn, so the files in flight come from several
    // folders (a share's server makes the files of one folder one after another), and
    // each folder's lines are still taken in their order. The walk's own lane passes over
    // what the others took, and on reaching a folder line expanded early it goes on
    // where that folder's lane is, so no line is left behind.
    std::vector<TLane> lanes{{from.FirstNode(), nullptr, {}}};
    lookedAt_ = nullptr;
    for (size_t turn = 0; lanes.front().Next || lanes.size() > 1; ++turn) {
        if (foldersAtOnce_ > int(lanes.size()) && OpenLaneAhead(lanes) == TStep::Stop)
            return;
        const size_t k = turn % lanes.size();
        if (k == 0) {
            for (size_t j = 1; j < lanes.size();) {
                if (lanes[j].Folder != lanes[0].Next || !lanes[0].Next) {
                    ++j;
                    continue;
                }
                // At the list's end when it last looked: lines added since follow its last.
                const TLane& lane = lanes[j];
                lanes[0].Next =
                    lane.Next ? lane.Next : from.NextNode(lane.Last ? lane.Last : lane.Folder);
                lanes.erase(lanes.begin() + ptrdiff_t(j));
                j = 1;
            }
            if (!lanes[0].Next)
                continue;
        } else if (!InLane(lanes[k])) {
            lanes.erase(lanes.begin() + ptrdiff_t(k));
            continue;
        }
        const PVirtualNode line = lanes[k].Next;
        bool expanded = false;
        TStep step;
        while ((step = TakeLine(line, &expanded)) == TStep::Again) {
        }
        if (step == TStep::Stop)
            return;
        // A folder the walk's own lane expanded: what lies ahead of it is still to look at.
        if (expanded)
            lookedAt_ = line;
        lanes[k].Last = line;
        lanes[k].Next = from.NextNode(line);
    }
}

void TCopyNOWThread::SetDirectoryTimes() {
    // Deepest first: setting a directory's time after its last entry was written, and
    // before its parent's, which that write would change again.
    std::vector<TMadeDirectory> made = writes_.Directories.Take();
    std::stable_sort(made.begin(), made.end(), [](const auto& a, const auto& b) {
        return std::count(a.Target.begin(), a.Target.end(), PathDelim) >
               std::count(b.Target.begin(), b.Target.end(), PathDelim);
    });
    for (const TMadeDirectory& dir : made)
        SetTimes(dir.Target, dir.Source);
}

void TCopyNOWThread::RemoveMovedDirectories() {
    // Folder lines marked Move and done before this run (an earlier run expanded them, and
    // was stopped before it moved all their files): those this run moved files out of are
    // tried too, without an identity of their own to compare.
    std::unordered_set<std::string> under;
    {
        std::lock_guard lock(movedFromMutex_);
        for (std::string dir : movedFrom_)
            for (; !dir.empty() && under.insert(dir).second; dir = DirectoryOf(dir))
                if (dir == "/")
                    break;
        movedFrom_.clear();
    }
    std::unordered_set<std::string> known;
    for (const TMovedDirectory& dir : movedDirectories_)
        known.insert(dir.Path);
    const TLineList& from = queue_.lstCopyFrom;
    for (PVirtualNode n = under.empty() ? nullptr : from.FirstNode(); n; n = from.NextNode(n)) {
        if (TCopyQueue::StatusOf(n) != lsDirDone || !TCopyQueue::IsMove(n))
            continue;
        std::string path = WithoutTrailingSlash(n->Data.Path.Str());
        if (under.count(path) && known.insert(path).second)
            movedDirectories_.push_back({std::move(path), TFileIdentity{}});
    }
    std::stable_sort(movedDirectories_.begin(), movedDirectories_.end(),
                     [](const TMovedDirectory& a, const TMovedDirectory& b) {
                         return std::count(a.Path.begin(), a.Path.end(), PathDelim) >
                                std::count(b.Path.begin(), b.Path.end(), PathDelim);
                     });
    for (const TMovedDirectory& dir : movedDirectories_) {
        // Only the directory that was expanded, and only empty (rmdir refuses anything
        // else): a file that failed, was skipped or was added meanwhile keeps it.
        const TFileIdentity now = GetFileIdentity(dir.Path);
        int error = 0;
        if (!now.Valid)
            continue; // gone already
        if (dir.Identity.Valid &&
            (now.Device != dir.Identity.Device || now.Inode != dir.Identity.Inode))
            error = errSourceChanged;
        else if (::rmdir(dir.Path.c_str()) != 0)
            error = errno;
        if (error != 0)
            run_.Tell({TRunEvent::SourceNotRemoved, nullptr, dir.Path, error});
    }
    movedDirectories_.clear();
}

void TCopyNOWThread::FlushWritten() {
    std::vector<std::shared_ptr<const TFd>> dirs = writes_.FileSystems.Take();
    // An aborted run leaves its writing to the kernel: the user asked it to stop, and a
    // flush, which nothing interrupts, would keep the program from ending until the
    // device had taken everything (minutes on a slow stick).
    if (!settings_.FlushAtEnd || dirs.empty() || Stopping())
        return;
    run_.Reached(TRunPoint::Flushing, std::string());
    // syncfs cannot be interrupted: it runs apart, and an Abort (or the end of the
    // program) ends the wait for it, not the writing. Apart is a process of its own,
    // since a thread of ours inside syncfs would keep the program (and its queue file)
    // from ending until the device had taken everything; a thread where no process can
    // be started, or where a test watches the flush. Either closes a pipe when it is done.
    std::vector<int> fds;
    for (const auto& dir : dirs)
        fds.push_back(dir->Get());
    const auto& flushSeam = run_.Seams.FlushFileSystem;
    TFd done(flushSeam ? -1 : SyncFileSystemsApart(fds));
    if (!done) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            for (const auto& dir : dirs)
                SyncFileSystem(dir->Get()); // nothing to wait with: flushed here
            return;
        }
        done = TFd(ends[0]);
        std::thread([dirs = std::move(dirs), end = TFd(ends[1]),
                     flush = flushSeam ? flushSeam : SyncFileSystem] {
            NameThisThread("ferrox-flush");
            for (const auto& dir : dirs)
                flush(dir->Get());
        }).detach();
    }
    const auto wait = [&done](std::chrono::milliseconds within) {
        pollfd ended{done.Get(), POLLIN, 0};
        const int n = ::poll(&ended, 1, int(within.count()));
        return n > 0 || (n < 0 && errno != EINTR);
    };
    if (wait(std::chrono::duration_cast<std::chrono::milliseconds>(QuietFlush)))
        return;
    run_.Tell({TRunEvent::WritingToDisk});
    while (!wait(std::chrono::duration_cast<std::chrono::milliseconds>(AbortCheck)))
        if (Stopping())
            return;
}

void TCopyNOWThread::Execute() {
    run_.Tell({TRunEvent::RunStarted});
    bool aborted = false;
    {
        // Popped at the end of the run, whatever ended it.
        TTraceScope trace("CopyNowThread", TTraceScope::Always);
        TRunCounters& counters = run_.Progress.Run;
        try {
            counters.Reset();
            run_.Progress.BytesMoved.store(0);
            run_.Progress.DataNanos.store(0);
            run_.Progress.DataBytes.store(0);
            run_.Progress.Devices.Clear();
            counters.Flushes.store(settings_.FlushAtEnd);
            copyContext_.emplace(&swept_);
            filled_.emplace();
            tally_.CountAtStart(queue_.lstCopyFrom, run_.CopyThisLineOnly.load());
            counters.Active.store(true);
            run_.Progress.MonitorEvent.Set(); // the figures start now
            // One file at a time is the run itself; more go to threads of their own.
            if (settings_.Workers != 1)
                pool_.emplace(&swept_);
            Walk();
            run_.Phase.Ending();
            if (pool_)
                pool_->Drain();
            RemoveMovedDirectories();
            SetDirectoryTimes();
            FlushWritten();
        } catch (const std::exception& e) {
            TRunEvent failed{TRunEvent::Exception};
            failed.Text = e.what();
            run_.Tell(failed);
        } catch (...) {
            TRunEvent failed{TRunEvent::Exception};
            failed.Text = "unknown";
            run_.Tell(failed);
        }
        // Whatever ended the walk, no copy outlives the run (an Abort has stopped them), and
        // no directory it wrote to stays open.
        pool_.reset();
        copyContext_.reset();
        filled_.reset();
        writes_.FileSystems.Take();
        counters.Active.store(false);
        counters.Counting.store(false);
        aborted = Stopping();
        run_.CopyRunning.store(false);
        run_.CopyThisLineOnly.store(false);
        run_.Phase.Ended();
        run_.AbortAsked.store(false);
    }
    finished_.store(true);
    // Last: whoever hears it may start the next run at once.
    TRunEvent ended{TRunEvent::RunEnded};
    ended.Aborted = aborted;
    tally_.EndCounts(ended.Failed, ended.Interrupted, ended.NotReached);
    run_.Tell(ended);
}

} // namespace ferrox
