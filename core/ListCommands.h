#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/FaceSinks.h"
#include "engine/RunControl.h"
#include "engine/RunState.h"
#include "queue/CopyQueue.h"

namespace ferrox {

inline constexpr const char* MsgCannotClearRunning =
    "You cannot clear this list while the copy is running";
inline constexpr const char* MsgNothingToCheck = "Nothing to Check?";
inline constexpr const char* SelectDirectoryCaption = "Select Directory";
inline constexpr const char* MsgOnlyLocalFiles = "Only local files and folders can be queued, not ";
// Short enough to be read whole in the status panel, whatever the path after it.
inline constexpr const char* MsgLineBreakInPath =
    "Not queued: a path with a line break cannot be saved ";

// True when the path holds a line break (which the queue file, a line per value, cannot
// keep).
bool HoldsLineBreak(const std::string& path);
// The status line's words for paths refused for a line break: the first one, its breaks
// shown as \n and \r, and how many more.
std::string LineBreakMessage(const std::vector<std::string>& refused);

// What the user can do to fill and edit the queue: the dialog buttons, drops on either
// list and the popup commands of both lists. The window turns clicks, drops and menu
// commands into these calls; the guards, messages, repaints and saves are all here.
// Runs on the window's thread.
class TListCommands {
public:
    TListCommands(TCopyQueue& queue, TRunState& run, TRunControl& control)
        : queue_(queue), run_(run), control_(control) {}
    TListCommands(const TListCommands&) = delete;
    TListCommands& operator=(const TListCommands&) = delete;

    // Filled by the window with its folder dialog; without it every browse is a cancel.
    TBrowseDialog BrowseDialog;

    // Adding. Paths are byte strings and are kept exactly as given.
    //
    // The files the file dialog returned, in its order; none when it was cancelled.
    void AddFiles(const std::optional<std::vector<std::string>>& files);
    void AddSourceFolder();
    void AddDestinationFolder();
    // Shows the folder dialog starting at `folder` (emptied first when it no longer names
    // a directory); true with the choice in `folder`, false (folder unchanged) otherwise.
    bool BrowseForDir(const std::string& caption, std::string& folder);
    // Folders become directory lines; files become file lines on the source list and are
    // left out on the destination list. With `move` the new lines are moves.
    void AddDroppedPaths(TLineList& list, bool isDestinationList,
                         const std::vector<std::string>& paths, bool move = false);
    // A drop, or a paste of what a file manager copied. `notLocal`: the URLs of it that
    // name no local file; the status line names them after the paths are added. When
    // nothing of it was local, nothing is added or saved. With `move` the new lines are
    // moves.
    void DropOnSources(const std::vector<std::string>& paths,
                       const std::vector<std::string>& notLocal = {}, bool move = false);
    // As AddDroppedPaths, then every source line without a destination gets the last
    // destination line's folder.
    void DropOnDestinations(const std::vector<std::string>& paths,
                            const std::vector<std::string>& notLocal = {});

    // What one request from outside brings, as TCopyQueue::AddOwnLines adds it: folders
    // become directory lines, anything else file lines; then repainted and saved. How
    // many destination lines without a source had to go.
    uint32_t AddOwnLines(const std::vector<std::string>& paths, bool move,
                         const std::optional<std::string>& dest);
    // A destination for the source lines that have none (and nothing else): appended and
    // saved. How many lines got it.
    uint32_t GiveDestination(const std::string& dest);

    const std::string& LastSourceDir() const { return LastSourceDir_; }
    const std::string& LastDestDir() const { return LastDestDir_; }

    // Source list popup.
    void CopySelectedLinesNow();
    void DeleteFullLines();
    void DeleteSourceLines();
    void ResetCopyStatus();
    void ClearSources();
    // Move on (true) or off for every selected source line; saved, as every change of
    // the queue is. Allowed during a run: a line already taken keeps the mark it was
    // taken with.
    void MarkMove(bool move);
    // The same for one source line, its box ticked or cleared.
    void MarkLineMove(const PVirtualNode& line, bool move);
    void ClearCompleted();

    // Destination list popup.
    void DeleteDestinationLines();
    void ClearDestinations();

private:
    // True (after telling the user) when a list must not be cleared now.
    bool RefuseClearWhileRunning();
    // Tells the user which URLs of a drop were left out, if any.
    void TellNotLocal(const std::vector<std::string>& notLocal);
    // The paths the queue file can keep; those it cannot go to `refused`.
    static std::vector<std::string> Storable(const std::vector<std::string>& paths,
                                             std::vector<std::string>& refused);
    void TellLineBreaks(const std::vector<std::string>& refused);

    TCopyQueue& queue_;
    TRunState& run_;
    TRunControl& control_;
    // Kept while the program runs; where the next browse of each button starts.
    std::string LastSourceDir_;
    std::string LastDestDir_;
};

} // namespace ferrox
