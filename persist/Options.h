#pragma once

#include "diag/StatusLine.h"
#include "platform/CopyPolicy.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferrox {

// A value of QOPTIONS.INI that means nothing, and what is used in its place.
struct TUnknownOption {
    std::string Key;   // as the file spells the key: "ExistingTargets"
    std::string Value; // as the file has it
    std::string Used;  // what is used instead, as the file would spell it: "Skip"
    // The values the key takes, for the user: "Overwrite, Skip, Newer or KeepBoth".
    std::string Takes;
    // The key decides what happens to files: the safest reading is used, not the default.
    bool Safety = false;
};

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
    // The cap on the run's bytes a second, all files together: 0 for none.
    int64_t SpeedLimit = 0;
    // The values that meant nothing, in the order of the keys above.
    std::vector<TUnknownOption> Unknown;
};

// What a face decides for itself (ferrox-run's flags): the file's key is then neither
// read nor complained of.
struct TOptionOverrides {
    std::optional<TExistingTargets> ExistingTargets;
    std::optional<bool> VerifyCopies;
    std::optional<int> Workers;
    std::optional<int64_t> SpeedLimit = std::nullopt;
};

// Reads SettingsDir() + "QOPTIONS.INI", section "Options", with the overrides in force. A
// missing file, section or key, or an empty value, gives the default. A value that means
// nothing is listed in Unknown and read as the safest choice where the key decides what
// happens to files (Skip, verification on, the trash), as the default elsewhere. Tells
// nobody; throws TFileError when the file exists but cannot be read as a regular file.
TOptions ReadOptions(const TOptionOverrides& overrides = {});

// ReadOptions for a start-up that goes on whatever the file holds: a file that cannot be
// read shows why on the status line and gives the safest choices. The values that meant
// nothing are left in Unknown for TellUnknownOptions.
TOptions LoadOptions(TStatusLine& status, const TOptionOverrides& overrides = {});

// Tells each value that meant nothing, and what is used instead: logged as a failure when
// the key decides what happens to files, on the status line alone otherwise.
void TellUnknownOptions(TStatusLine& status, const TOptions& options);

// A switch as users write it: an integer (non-zero is on, as the INI format reads flags),
// or yes/no, true/false, on/off in any case; none otherwise.
std::optional<bool> SwitchByName(std::string_view text);

// "auto" (0) or a number of files side by side from 1 to MaxWorkers; none otherwise.
std::optional<int> WorkersByName(std::string_view text);

// Bytes a second as users write them: a whole number, with K, M or G (any case, an "i" or
// "iB" after it allowed) for 1024, 1024² or 1024³; 0 for no cap. None otherwise, and for a
// rate beyond what a 64-bit count holds.
std::optional<int64_t> SpeedLimitByName(std::string_view text);

} // namespace ferrox
