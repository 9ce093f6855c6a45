#pragma once
#include <atomic>

namespace ferrox {

// The switches of QOPTIONS.INI: false until LoadOptions has run, fixed afterwards.
extern std::atomic<bool> DeleteToRecycle;
extern std::atomic<bool> DisplayProgressBar;

// Reads ExePath() + "QOPTIONS.INI", section "Options"; a missing file, section or key, or
// a value that is not a number, gives true. A file that exists but cannot be read (no
// permission, not a regular file) leaves both true and shows why on the status line.
void LoadOptions();

} // namespace ferrox
