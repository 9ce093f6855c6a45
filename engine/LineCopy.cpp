#include "engine/LineCopy.h"

#include "diag/Clock.h"
#include "diag/Trace.h"
#include "platform/CopyFile.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/SysError.h"
#include "platform/Trash.h"

#include <cerrno>
#include <chrono>
#include <exception>

namespace ferrox {

int DeleteToBin(IRunEventSink* events, const TCopiedSource& Source, const std::string& Path) {
    TTraceScope trace("DeleteToBin");
    try {
        return TrashCopiedSource(Source, Path);
    } catch (const std::exception& e) {
        if (events) {
            TRunEvent failed{TRunEvent::Exception};
            failed.Text = e.what();
            failed.InRun = false;
            events->Tell(failed);
        }
        return ENOMEM;
    }
}

namespace {

// 0 when the copied file is no longer under its name; EEXIST when something else stands
// there (someone put it there); otherwise `error`, why it is still there.
int Outcome(const TCopiedSource& source, int error) {
    switch (SourceStateOf(source)) {
    case TSourceState::Gone:
        return 0;
    case TSourceState::Other:
        return EEXIST;
    case TSourceState::Copied:
        break;
    }
    return error != 0 ? error : EEXIST;
}

// Removes a moved source as the trash option says, trying once more after giving the
// owner write permission; each step only while the name still holds the copied file,
// reached through the directory the copy read it from. 0 when it is gone, else why not.
int RemoveMovedSource(IRunEventSink* events, const TCopiedSource& source, const std::string& path,
                      bool toTrash) {
    if (SourceStateOf(source) != TSourceState::Copied)
        return errSourceChanged;
    int error = toTrash ? DeleteToBin(events, source, path) : UnlinkCopiedSource(source);
    if (SourceStateOf(source) != TSourceState::Copied)
        return Outcome(source, error);
    MakeCopiedSourceWritable(source);
    if (toTrash) {
        error = DeleteToBin(events, source, path);
        if (SourceStateOf(source) != TSourceState::Copied)
            return Outcome(source, error);
    }
    return Outcome(source, UnlinkCopiedSource(source));
}

// What happens to one file, told as it happens (nothing when nobody listens).
class TTeller {
public:
    // One event is made for the file and told again with each kind: the source's path is
    // copied once, not once an event.
    TTeller(const TLineCopyOptions& options, const std::string& source)
        : events_(options.Events),
          event_(TRunEvent::FileStarted, events_ ? options.Line : PVirtualNode{},
                 events_ ? source : std::string{}) {}
    IRunEventSink* Events() const { return events_; }
    void Tell(TRunEvent::TKind kind, int code = 0, const std::string& target = {},
              int64_t bytes = 0) const {
        if (!events_)
            return;
        event_.Kind = kind;
        event_.Code = code;
        event_.Target = target;
        event_.Bytes = bytes;
        events_->Tell(event_);
    }

private:
    IRunEventSink* events_;
    // Told on the copy's own thread only (the progress callback runs inside the copy).
    mutable TRunEvent event_;
};

// The copy's options for one file of a run.
TCopyOptions CopyOptionsFor(const TLineCopyOptions& options, TCopyReporter& reporter,
                            const TTeller& tell, const std::atomic<bool>& abortAsked, bool Move) {
    TCopyOptions copy;
    if (options.Progress || tell.Events())
        copy.Progress = [&reporter, &tell](const TCopyProgress& p) {
            if (p.Starts && p.ContinuedAt > 0)
                tell.Tell(TRunEvent::FileContinued, 0, {}, p.ContinuedAt);
            if (reporter.Channel)
                CopyProgressCallback(reporter, p);
        };
    copy.Cancel = &abortAsked;
    // The new file must be on disk before its source may go.
    copy.SyncTarget = Move;
    copy.Move = Move;
    copy.Existing = options.Existing;
    copy.Filled = options.Filled;
    copy.Verify = options.Verify;
    copy.WriteBehind = options.WriteBehind;
    copy.Pace = options.Pace;
    copy.AfterWriteForTesting = options.AfterWriteForTesting;
    return copy;
}

// Removes a Move's source whose copy stands, and tells when it stays: its fate in
// result.SourceError and result.SourceGone.
void FinishMove(const TCopiedSource& source, const std::string& path, int attributesRefused,
                const TLineCopyOptions& options, const TTeller& tell, TLineCopyResult& result) {
    // A copy without all its attributes is not the whole file.
    result.SourceError = attributesRefused != 0 ? errAttributesIncomplete
                                                : RemoveMovedSource(tell.Events(), source, path,
                                                                    options.DeleteToRecycle);
    result.SourceGone = result.SourceError == 0;
    if (result.SourceError != 0)
        tell.Tell(TRunEvent::SourceNotRemoved, result.SourceError);
}

// What is told of a file that was copied, and of a Move's source; the source's fate in
// result.SourceError.
void Copied(const TCopyResult& copy, const std::string& Source, const std::string& Target,
            bool Move, const TLineCopyOptions& options, const TTeller& tell,
            TLineCopyResult& result) {
    // Where the copy is: beside the target when it took a free name (spelt out only then).
    const std::string beside =
        copy.TargetName.empty() ? std::string() : JoinPath(DirectoryView(Target), copy.TargetName);
    const std::string& written = copy.TargetName.empty() ? Target : beside;
    if (!copy.TargetName.empty())
        tell.Tell(TRunEvent::CopiedBeside, 0, written);
    if (options.Progress)
        options.Progress->TotalBytesCopied.fetch_add(copy.Source.Size - copy.ContinuedAt,
                                                     std::memory_order_relaxed);
    if (copy.AttributesRefused != 0)
        tell.Tell(TRunEvent::AttributesIncomplete, copy.AttributesRefused, written);
    if (Move)
        FinishMove(copy.Copied, Source, copy.AttributesRefused, options, tell, result);
}

} // namespace

TLineCopyResult DoFileCopy(const std::string& Source, const std::string& Target, bool Move,
                           const std::atomic<bool>& abortAsked, const TLineCopyOptions& options) {
    TTraceScope trace("DoFileCopy");
    const TTeller tell(options, Source);
    TLineCopyResult result;
    TCopyReporter reporter{nullptr};
    // What an exception before the copy leaves: nothing here throws but an allocation.
    result.Error = ENOMEM;
    tell.Tell(TRunEvent::FileStarted);
    try {
        TProgressChannel* progress = options.Progress;
        reporter.Channel = progress;
        if (progress) {
            reporter.File = progress->NextFile.fetch_add(1, std::memory_order_relaxed);
            reporter.StartNs =
                std::chrono::duration_cast<std::chrono::nanoseconds>(ClockNow().time_since_epoch())
                    .count();
        }
        // The copy's own lookup of the source is the existence test: one lookup, not two.
        const TCopyResult copy = CopyFileWithProgress(
            Source, Target, CopyOptionsFor(options, reporter, tell, abortAsked, Move),
            options.Context);
        ReportCopyEnded(reporter);
        result.Error = copy.Error;
        result.SourceMissing = copy.SourceMissing;
        result.Size = copy.Source.Valid ? copy.Source.Size : 0;
        result.Written = reporter.Reported;
        result.TargetDir = copy.TargetDir;
        result.TargetDevice = copy.TargetDevice;
        result.Skipped = copy.Skipped;
        // What a failed copy moved is not done, nor what a copy that found its name taken
        // at the last moment wrote.
        if (progress && (copy.Error != 0 || copy.Skipped))
            progress->BytesMoved.fetch_sub(reporter.Reported, std::memory_order_relaxed);
        if (copy.SourceMissing) {
            // Nothing exists to copy: nothing to tell but the end, as for any missing source.
        } else if (copy.Error == 0 && copy.Skipped) {
            // The target stays as it was, and so does a moved source, unless the target is
            // its copy already: nothing was copied.
            tell.Tell(TRunEvent::FileSkipped, 0, Target);
            if (Move && copy.TargetHoldsSource)
                FinishMove(copy.Copied, Source, 0, options, tell, result);
        } else if (copy.Error == 0) {
            Copied(copy, Source, Target, Move, options, tell, result);
        } else {
            tell.Tell(TRunEvent::CopyFailed, copy.Error, Target);
        }
    } catch (const std::exception& e) {
        if (tell.Events()) {
            TRunEvent failed{TRunEvent::Exception, options.Line, Source};
            failed.Text = e.what();
            tell.Events()->Tell(failed);
        }
    }
    tell.Tell(TRunEvent::FileFinished, result.Error, Target);
    return result;
}

} // namespace ferrox
