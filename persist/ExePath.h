#pragma once
#include <string>

namespace ferrox {

// The directory of QUEUE.INI and QOPTIONS.INI, with its trailing '/': the executable's
// directory, or the per-user configuration directory when that one cannot be written.
// Computed once, on first use, from any thread.
const std::string& ExePath();

// The choice ExePath makes for an executable in exeDirectory (with its trailing '/'):
// that directory when it can be written, else $XDG_CONFIG_HOME/ferrox/ (by default
// ~/.config/ferrox/), created when missing.
std::string SettingsDirectoryFor(const std::string& exeDirectory);

// Makes ExePath return the given directory (a trailing '/' is added when missing). Call
// it before any other thread uses ExePath.
void SetExePathForTesting(std::string directory);

} // namespace ferrox
