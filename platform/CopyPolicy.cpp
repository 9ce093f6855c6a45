#include "platform/CopyPolicy.h"

#include <cctype>
#include <string>

namespace ferrox {

std::optional<TExistingTargets> ExistingTargetsByName(std::string_view name) {
    std::string word;
    for (char c : name)
        if (c != '-' && c != '_' && c != ' ')
            word += char(std::tolower(static_cast<unsigned char>(c)));
    if (word == "overwrite")
        return TExistingTargets::Overwrite;
    if (word == "skip")
        return TExistingTargets::Skip;
    if (word == "newer")
        return TExistingTargets::Newer;
    if (word == "keepboth")
        return TExistingTargets::KeepBoth;
    return std::nullopt;
}

const char* ExistingTargetsName(TExistingTargets policy) {
    switch (policy) {
    case TExistingTargets::Skip:
        return "Skip";
    case TExistingTargets::Newer:
        return "Newer";
    case TExistingTargets::KeepBoth:
        return "KeepBoth";
    case TExistingTargets::Overwrite:
        break;
    }
    return "Overwrite";
}

} // namespace ferrox
