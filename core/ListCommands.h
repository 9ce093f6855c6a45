#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/RunControl.h"
#include "engine/RunState.h"
#include "queue/CopyQueue.h"

namespace ferrox {

inline constexpr const char* MsgCannotClearRunning =
    "You cannot clear this list while the copy is running";
inline constexpr const char* MsgNothingToCheck = "Nothing to Check?";
inline constexpr const char* SelectDirectoryCaption = "Select Directory";

// The folder dialog: shown with a caption, starting at a folder ("" when none is offered);
// the chosen folder, or none when the user cancelled.
using TBrowseDialog = std::function<std::optional<std::string>(const std::string& caption,
                                                               const std::string& startFolder)>;

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
    void btnSelFilesClick(const std::optional<std::vector<std::string>>& files);
    void btnSelDir1Click();
    void btnSelDir2Click();
    // Shows the folder dialog starting at `folder` (emptied first when it no longer names
    // a directory); true with the choice in `folder`, false (folder unchanged) otherwise.
    bool BrowseForDir(const std::string& caption, std::string& folder);
    // Folders become directory lines; files become file lines on the source list and are
    // left out on the destination list.
    void DragDropit(TLineList& list, bool isDestinationList, const std::vector<std::string>& paths);
    void lstCopyFromDropFiles(const std::vector<std::string>& paths);
    // As DragDropit, then every source line without a destination gets the last
    // destination line's folder.
    void lstCopyToDropFiles(const std::vector<std::string>& paths);

    const std::string& LastSourceDir() const { return LastSourceDir_; }
    const std::string& LastDestDir() const { return LastDestDir_; }

    // Source list popup.
    void mnupopFromCopythisLineClick();
    void mnupopFromDelFullLineClick();
    void mnupopFromDelFromLineClick();
    void mnupopFromResetCopyStatusClick();
    void mnupopFromClearClick();
    void mnupopFromMoveEnableClick();
    void mnupopFromMoveDisableClick();
    void mnupopFromClearCompletedClick();

    // Destination list popup.
    void mnupopToDelLineClick();
    void mnupopToClearClick();

private:
    // True (after telling the user) when a list must not be cleared now.
    bool RefuseClearWhileRunning();

    TCopyQueue& queue_;
    TRunState& run_;
    TRunControl& control_;
    // Kept while the program runs; where the next browse of each button starts.
    std::string LastSourceDir_;
    std::string LastDestDir_;
};

} // namespace ferrox
