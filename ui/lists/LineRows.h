#pragma once
#include <cstddef>
#include <vector>

#include "listctl/VirtualTree.h"

namespace ferrox {

// The lines a view shows, row by row. Kept in blocks, so that inserting or removing a run
// of rows anywhere costs about a block and the list of blocks, not every row after it: a
// run inserts lines above the rows shown many times a second into lists of 200,000.
class TLineRows {
public:
    size_t Size() const { return size_; }
    const PVirtualNode& At(size_t row) const;

    void Assign(std::vector<PVirtualNode> lines);
    void Insert(size_t row, const std::vector<PVirtualNode>& lines);
    void Erase(size_t row, size_t count);
    void Clear();

private:
    static constexpr size_t BlockSize = 512;
    // The block holding the row, and the row's place in it; row < Size().
    size_t BlockOf(size_t row) const;
    void Restart(size_t fromBlock);
    void Split(size_t block);

    std::vector<std::vector<PVirtualNode>> blocks_;
    std::vector<size_t> starts_; // first row of each block
    size_t size_ = 0;
};

} // namespace ferrox
