#pragma once

#include "diag/StatusLine.h"
#include "platform/CopyPolicy.h"

#include <optional>
#include <string_view>

namespace ferrox {

// The switches of QOPTIONS.INI.
struct TOptions {
    // Moved sources go into the trash (else they are deleted for good).
    bool DeleteToRecycle = true;
    // The gauge shows a bar (else the byte counts as its text).
    bool DisplayProgressBar = true;
    // What happens to a target that exists already.
    TExistingTargets ExistingTargets = TExistingTargets::Overwrite;
    // Every copy is read back from the disk and compared before it takes its name.
    bool VerifyCopies = false;
    // Files copied side by side: 0 (auto) lets each target's device decide.
    int Workers = 0;
};

// Reads ExePath() + "QOPTIONS.INI", section "Options"; a missing file, section or key, or
// a switch's value that is not a number, gives the default. A file that exists but cannot
// be read (no permission, not a regular file) gives the defaults and shows why on the
// status line, as does a word the file gives ExistingTargets or Workers that means nothing.
TOptions LoadOptions(TStatusLine& status);

// "auto" (0) or a number of files side by side from 1 to MaxWorkers; none otherwise.
std::optional<int> WorkersByName(std::string_view text);

} // namespace ferrox
