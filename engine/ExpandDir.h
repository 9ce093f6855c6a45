#pragma once
#include <string>

#include "engine/RunState.h"
#include "queue/CopyQueue.h"

namespace ferrox {

// Turns a directory line into lines for its entries: files right after the directory
// line, subdirectories after the line inserted last, and one destination line
// DstDir + Name for each, after the destination line. Creates the target directory
// DstDir + Name first. False (errorCode set) when the source is no directory, a target
// directory cannot be made, the copy would go into the source itself, or the directory
// cannot be read. An abort stops it before the next entry; that is still true.
bool ExpandDir(TCopyQueue& queue, TRunState& run, const PVirtualNode& SourceLine,
               const std::string& SourcePath, const PVirtualNode& DestLine,
               const std::string& DestPath, int& errorCode);

} // namespace ferrox
