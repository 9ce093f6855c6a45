#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/RunState.h"
#include "engine/RunTally.h"
#include "engine/RunWrites.h"
#include "queue/CopyQueue.h"

namespace ferrox {

// What became of a directory line.
struct TExpandResult {
    // 0, else errno or a TFerroxError: the source is no directory, a target directory
    // cannot be made, the copy would go into the source itself, or the directory cannot
    // be read to its end (what was inserted before stays).
    int Code = 0;
    // Every entry has a line. False when an abort or the end of the worker stopped it
    // before the end of the directory: the line is not done, and the next expansion
    // adds what is still missing.
    bool Complete = false;
    // What a failure is about: the source directory, the destination, or the directory
    // to be made in it.
    std::string Where;
    bool Failed() const { return Code != 0; }
};

// The sizes the expansions of a run found for the file lines they made, so the run can
// plan those files' copies (alone on their device, or on its own thread) without looking
// each up by its path again. Only a plan: the copy looks the file up itself. Keyed by the
// line; a line freed meanwhile whose place a new line took gives a wrong plan at worst.
// Holds the latest entries only, so a huge directory costs no more than this.
// A flat table (open addressing, linear probing, at most half full): an entry costs no
// allocation, and a look touches a cache line or two, where a node a file would miss.
class TSeenSizes {
public:
    void Note(const TVirtualNode* line, int64_t size);
    // The size found for the line, once; none when it is not known.
    std::optional<int64_t> Take(const TVirtualNode* line);

private:
    struct TSlot {
        const TVirtualNode* Line = nullptr; // null: free
        int64_t Size = 0;
    };
    static constexpr size_t Most = 65536;
    size_t Home(const TVirtualNode* line) const;
    void Grow();
    std::vector<TSlot> slots_; // none, or a power of two
    size_t count_ = 0;
};

// Turns a directory line into lines for its entries: files right after the directory
// line, subdirectories after the line inserted last, and one destination line
// DstDir + Name for each, after the destination line. Creates the target directory
// DstDir + Name first (and DstDir when only it is missing); DstDir + Name must be a
// directory of its own, never a symbolic link. Entries that already have a line among the
// directory's own lines (left by an expansion that was stopped) get no second one.
// tally: where the new lines are counted for the run's figures (none: not counted).
// sizes: where the sizes of the new file lines are noted (with a tally only; none: not).
// Move: the directory line is a move, and so is every line made for its entries.
// writes: where the run notes the directories it makes and the file systems it writes to.
TExpandResult ExpandDir(TCopyQueue& queue, TRunState& run, TRunWrites& writes,
                        const PVirtualNode& SourceLine, const std::string& SourcePath,
                        const PVirtualNode& DestLine, const std::string& DestPath,
                        TRunTally* tally = nullptr, bool Move = false, TSeenSizes* sizes = nullptr);

} // namespace ferrox
