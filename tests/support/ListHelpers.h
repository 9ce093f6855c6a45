#pragma once
#include <string>
#include <vector>

#include "listctl/VirtualTree.h"

namespace ferrox::test {

// A list's paths and statuses in display order.
inline std::vector<std::string> Paths(const TVirtualTree& list) {
    std::vector<std::string> out;
    for (PVirtualNode n = list.FirstNode(); n; n = list.NextNode(n))
        out.push_back(n->Data.Path);
    return out;
}

inline std::vector<int32_t> Statuses(const TVirtualTree& list) {
    std::vector<int32_t> out;
    for (PVirtualNode n = list.FirstNode(); n; n = list.NextNode(n))
        out.push_back(n->Data.Status.load());
    return out;
}

} // namespace ferrox::test
