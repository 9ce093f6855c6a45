#pragma once
#include <string>

namespace ferrox {

// What a copy run tells its faces (the window, ferrox-run), as kinds rather than text.
// Called on the worker's thread: an implementation hands the event to its own thread and
// never blocks or waits for it. The status line stays the text for people.
class IRunEvents {
public:
    virtual ~IRunEvents() = default;
    // A file's copy begins (source path as the line holds it).
    virtual void FileStarted(const std::string& source) = 0;
    // A file's copy ended: errorCode 0 when it is done, else errno or a TFerroxError.
    virtual void FileFinished(const std::string& source, int errorCode) = 0;
    // A Move line was copied but its source could not be removed (errorCode says why);
    // the copy stands, so the line is done, but the run did not do all it was asked.
    virtual void SourceNotRemoved(const std::string& source, int errorCode) = 0;
    // A source line (file or directory) failed with errorCode; `where` is the path the
    // error is about (the source, or a destination directory of a directory line).
    virtual void LineFailed(const std::string& source, int errorCode, const std::string& where) = 0;
    // The run is over and its state is idle again: a new run may start now.
    virtual void RunEnded(bool aborted) = 0;
    // The captions or hints of the run buttons changed; read them from the run state. Told
    // by whichever thread changed them (the worker, or the face's own click handlers).
    virtual void ButtonsChanged() = 0;
};

} // namespace ferrox
