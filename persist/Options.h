#pragma once

#include "diag/StatusLine.h"

namespace ferrox {

// The switches of QOPTIONS.INI.
struct TOptions {
    // Moved sources go into the trash (else they are deleted for good).
    bool DeleteToRecycle = true;
    // The gauge shows a bar (else the byte counts as its text).
    bool DisplayProgressBar = true;
};

// Reads ExePath() + "QOPTIONS.INI", section "Options"; a missing file, section or key, or
// a value that is not a number, gives true. A file that exists but cannot be read (no
// permission, not a regular file) gives the defaults and shows why on the status line.
TOptions LoadOptions(TStatusLine& status);

} // namespace ferrox
