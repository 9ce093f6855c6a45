#pragma once
#include <string>
#include <utility>
#include <vector>

#include "queue/CopyQueue.h"

namespace ferrox::test {

// Pairs as the copy run sees them: source path -> destination path ("" when none).
inline std::vector<std::pair<std::string, std::string>> Pairs(TCopyQueue& q) {
    std::vector<std::pair<std::string, std::string>> out;
    int i = 0;
    for (PVirtualNode n = q.lstCopyFrom.FirstNode(); n; n = q.lstCopyFrom.NextNode(n), ++i) {
        PVirtualNode to = q.GetToNode(i);
        out.emplace_back(n->Data.Path, to ? to->Data.Path.Str() : std::string());
    }
    return out;
}

} // namespace ferrox::test
