#pragma once
#include <optional>
#include <string_view>

namespace ferrox {

// What a copy does when its target exists already.
enum class TExistingTargets {
    Overwrite, // replace it (the default)
    Skip,      // leave it, and the line counts as done
    Newer,     // replace it only when the source was changed later (as cp -u)
    KeepBoth,  // keep it; the copy takes a free name beside it: "name (2).ext"
};

// The policy a word names, in either spelling users write it ("KeepBoth", "keep-both");
// case does not count. None for an unknown word.
std::optional<TExistingTargets> ExistingTargetsByName(std::string_view name);
// How QOPTIONS.INI spells it.
const char* ExistingTargetsName(TExistingTargets policy);

// Files copied side by side: 0 lets each target's device decide; 1 is one at a time.
inline constexpr int MaxWorkers = 16;

} // namespace ferrox
