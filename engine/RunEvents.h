#pragma once
#include <cstdint>
#include <string>
#include <utility>

#include "listctl/VirtualTree.h"

namespace ferrox {

// What a copy run tells, as a kind and its facts rather than a text. The status line
// stays the text for people; nothing decides by parsing it.
struct TRunEvent {
    enum TKind {
        FileStarted,      // a file's copy begins
        FileFinished,     // a file's copy ended: Code 0 when it is done, else why not
        SourceNotRemoved, // a Move was copied but its source stayed (Code says why)
        LineFailed,       // a source line (file or directory) failed with Code
        LineInterrupted,  // an abort stopped a file line's copy (see Bytes); no failure
        RunEnded,         // the run is over and its state is idle again
        PhaseChanged,     // the run's phase changed; read it from the run state
    };
    TRunEvent(TKind kind, PVirtualNode line = {}, std::string path = {}, int code = 0,
              std::string where = {})
        : Kind(kind), Line(std::move(line)), Path(std::move(path)), Code(code),
          Where(std::move(where)) {}

    TKind Kind;
    PVirtualNode Line; // the source line it is about (none for RunEnded, PhaseChanged)
    std::string Path;  // the source line's path
    int Code = 0;      // errno or a TFerroxError
    // What a failure is about: the source, or a destination directory (one a directory line
    // could not make, or a file line's folder that is not there).
    std::string Where;
    bool Aborted = false; // RunEnded: the run was aborted or asked to end
    // LineInterrupted: the bytes written when it stopped, of the file's Size; the line
    // keeps the failed status and nothing of the copy stays.
    int64_t Bytes = 0;
    int64_t Size = 0;
};

// Where a run's events go. Called on the worker's thread (PhaseChanged also on the
// thread that clicked): an implementation hands the event on and never blocks or waits
// for another thread.
class IRunEventSink {
public:
    virtual ~IRunEventSink() = default;
    virtual void Tell(const TRunEvent& event) = 0;
};

} // namespace ferrox
