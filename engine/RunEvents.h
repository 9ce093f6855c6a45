#pragma once
#include <cstdint>
#include <string>
#include <utility>

#include "engine/RunPhase.h"
#include "listctl/VirtualTree.h"

namespace ferrox {

// What a copy run tells, as a kind and its facts rather than a text: the faces word them
// (core/RunWords for the status line and the error log, ferrox-run for its own lines),
// and nothing decides by parsing a text.
struct TRunEvent {
    enum TKind {
        RunStarted,           // the run begins
        FileStarted,          // a file's copy begins (Path)
        FileContinued,        // it continues the partial copy a run cut off left, at Bytes
        FileSkipped,          // the target exists and the policy kept it (Target)
        CopiedBeside,         // the target exists; the copy took a free name (Target: it)
        AttributesIncomplete, // copied, but the target refused some attributes (Code)
        SourceNotRemoved,     // a Move was copied but its source stayed (Code says why);
                              // with no Line, a folder that still holds something
        CopyFailed,           // a file's copy failed (Code): before its FileFinished
        FileFinished,         // a file's copy ended: Code 0 when it is done, else why not
        LineFailed,           // a source line failed with Code, about Where (see Stage)
        LineInterrupted,      // an abort stopped a file line's copy (Bytes of Size): no
                              // failure, though the line keeps the failed status
        WritingToDisk,        // every line is done; the run waits for its data to be on
                              // the disk
        RunEnded,             // the run is over and idle again (see the counts below)
        PhaseChanged,         // the run's phase changed (Phase: the new one)
        Exception,            // something unexpected stopped the run or a file (Text)
        MonitorStarted,       // the progress monitor runs (from start-up on)
        MonitorStopped,       // it has ended (at shutdown)
    };
    // What a LineFailed failed at.
    enum TStage {
        AtFile,        // copying a file line's file
        AtDirectory,   // reading a directory line's source directory
        AtMakingFolder // making the directory a directory line is copied into
    };
    TRunEvent(TKind kind, PVirtualNode line = {}, std::string path = {}, int code = 0,
              std::string where = {})
        : Kind(kind), Line(std::move(line)), Path(std::move(path)), Code(code),
          Where(std::move(where)) {}

    TKind Kind;
    PVirtualNode Line; // the source line it is about, when it is about one
    std::string Path;  // the source's path (a folder's, for a folder kept)
    int Code = 0;      // errno or a TFerroxError
    // What a failure is about: the source, or a destination directory (one a directory line
    // could not make, or a file line's folder that is not there).
    std::string Where;
    TStage Stage = AtFile;
    std::string Target; // the target path (CopiedBeside: the name the copy took)
    // LineInterrupted: the bytes written when it stopped, of the file's Size; the line
    // keeps the failed status and nothing of the copy stays.
    int64_t Bytes = 0;
    int64_t Size = 0;
    TRunPhaseView Phase; // PhaseChanged
    std::string Text;    // Exception: what it said
    bool InRun = true;   // Exception: the run's own, ending it (else one operation's)
    // RunEnded: the run was aborted (or asked to end), and the lines that failed, were
    // interrupted and were not reached.
    bool Aborted = false;
    long Failed = 0;
    long Interrupted = 0;
    long NotReached = 0;
};

// Where a run's events go. Called on the worker's, a copy's or the monitor's thread
// (PhaseChanged also on the thread that clicked): an implementation hands the event on and
// never blocks or waits for another thread.
class IRunEventSink {
public:
    virtual ~IRunEventSink() = default;
    virtual void Tell(const TRunEvent& event) = 0;
};

} // namespace ferrox
