#pragma once
#include <string>

namespace ferrox {

// True when a program in exeDirectory (with its trailing '/') counts as installed: its
// directory cannot be written, so what it writes goes to the user's own directories
// instead. A build tree or a portable folder keeps everything where it always did.
bool IsInstalledProgram(const std::string& exeDirectory);

// The directory of QUEUE.INI and QOPTIONS.INI, with its trailing '/': the executable's
// directory, or the per-user configuration directory when that one cannot be written.
// Computed once, on first use, from any thread.
const std::string& SettingsDir();

// The directory of the error log and the queue file's backup, with its trailing '/', or
// empty for the working directory. Computed once, together with SettingsDir.
const std::string& StatePath();

// For a program that leaves the working directory it was started in (the window, which
// lives on long after the command that started it): what would have gone into that
// directory, the error log and the queue's backup, goes beside the queue file instead.
// An installed program's state directory stays as it is. Call it before any other thread
// uses StatePath.
void KeepStateBesideQueue();

// The choice SettingsDir makes for an executable in exeDirectory (with its trailing '/'):
// that directory when it can be written, else $XDG_CONFIG_HOME/ferrox/ (by default
// ~/.config/ferrox/), created when missing.
std::string SettingsDirectoryFor(const std::string& exeDirectory);

// The choice StatePath makes: empty (the working directory) when exeDirectory can be
// written, else $XDG_STATE_HOME/ferrox/ (by default ~/.local/state/ferrox/), created when
// missing.
std::string StateDirectoryFor(const std::string& exeDirectory);

// Makes SettingsDir return the given directory (a trailing '/' is added when missing) and
// StatePath the given state directory (empty: the working directory). Call it before any
// other thread uses either.
void SetSettingsDirForTesting(std::string directory, std::string stateDirectory = {});

} // namespace ferrox
