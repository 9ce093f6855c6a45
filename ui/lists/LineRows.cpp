#include "ui/lists/LineRows.h"

#include <algorithm>
#include <iterator>

namespace ferrox {

size_t TLineRows::BlockOf(size_t row) const {
    auto it = std::upper_bound(starts_.begin(), starts_.end(), row);
    return static_cast<size_t>(it - starts_.begin()) - 1;
}

const PVirtualNode& TLineRows::At(size_t row) const {
    size_t b = BlockOf(row);
    return blocks_[b][row - starts_[b]];
}

void TLineRows::Restart(size_t fromBlock) {
    starts_.resize(blocks_.size());
    size_t start = fromBlock == 0 ? 0 : starts_[fromBlock - 1] + blocks_[fromBlock - 1].size();
    for (size_t b = fromBlock; b < blocks_.size(); ++b) {
        starts_[b] = start;
        start += blocks_[b].size();
    }
    size_ = start;
}

// Cuts an oversized block into blocks of BlockSize.
void TLineRows::Split(size_t block) {
    std::vector<PVirtualNode>& big = blocks_[block];
    if (big.size() <= 2 * BlockSize)
        return;
    std::vector<std::vector<PVirtualNode>> parts;
    for (size_t i = BlockSize; i < big.size(); i += BlockSize) {
        size_t end = std::min(big.size(), i + BlockSize);
        parts.emplace_back(std::make_move_iterator(big.begin() + i),
                           std::make_move_iterator(big.begin() + end));
    }
    big.resize(BlockSize);
    blocks_.insert(blocks_.begin() + block + 1, std::make_move_iterator(parts.begin()),
                   std::make_move_iterator(parts.end()));
}

void TLineRows::Assign(std::vector<PVirtualNode> lines) {
    blocks_.clear();
    if (!lines.empty()) {
        blocks_.push_back(std::move(lines));
        Split(0);
    }
    Restart(0);
}

void TLineRows::Insert(size_t row, const std::vector<PVirtualNode>& lines) {
    if (lines.empty())
        return;
    size_t b;
    if (blocks_.empty()) {
        blocks_.emplace_back();
        b = 0;
    } else if (row >= size_) {
        b = blocks_.size() - 1; // appended to the last block
    } else {
        b = BlockOf(row);
    }
    size_t at = row - (b < starts_.size() ? starts_[b] : 0);
    std::vector<PVirtualNode>& block = blocks_[b];
    block.insert(block.begin() + static_cast<std::ptrdiff_t>(at), lines.begin(), lines.end());
    Split(b);
    Restart(b);
}

void TLineRows::Erase(size_t row, size_t count) {
    count = std::min(count, size_ - std::min(row, size_));
    if (count == 0)
        return;
    size_t first = BlockOf(row);
    size_t b = first;
    size_t at = row - starts_[b];
    while (count > 0) {
        std::vector<PVirtualNode>& block = blocks_[b];
        size_t n = std::min(count, block.size() - at);
        block.erase(block.begin() + static_cast<std::ptrdiff_t>(at),
                    block.begin() + static_cast<std::ptrdiff_t>(at + n));
        count -= n;
        at = 0;
        ++b;
    }
    // Empty blocks go; a small block joins its neighbour, so that scattered removals do
    // not leave many tiny blocks behind.
    auto end = std::remove_if(blocks_.begin() + static_cast<std::ptrdiff_t>(first),
                              blocks_.begin() + static_cast<std::ptrdiff_t>(b),
                              [](const auto& block) { return block.empty(); });
    blocks_.erase(end, blocks_.begin() + static_cast<std::ptrdiff_t>(b));
    if (first < blocks_.size() && blocks_[first].size() < BlockSize / 2 &&
        first + 1 < blocks_.size() &&
        blocks_[first].size() + blocks_[first + 1].size() <= 2 * BlockSize) {
        std::vector<PVirtualNode>& next = blocks_[first + 1];
        blocks_[first].insert(blocks_[first].end(), std::make_move_iterator(next.begin()),
                              std::make_move_iterator(next.end()));
        blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(first + 1));
    }
    Restart(first < blocks_.size() ? first : blocks_.size());
}

void TLineRows::Clear() {
    blocks_.clear();
    starts_.clear();
    size_ = 0;
}

} // namespace ferrox
