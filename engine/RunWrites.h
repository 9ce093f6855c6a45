#pragma once
#include "engine/MadeDirectories.h"
#include "engine/WrittenFileSystems.h"

namespace ferrox {

// What one run has written, for its end: the file systems (put on their devices before
// the run says it is done) and the directories it made (they get their sources' times).
// The run's own; its expansions and copy threads add to it.
struct TRunWrites {
    TWrittenFileSystems FileSystems;
    TMadeDirectories Directories;
};

} // namespace ferrox
