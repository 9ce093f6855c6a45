#include "listctl/LinePath.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

namespace ferrox {

// A piece of text with a count of its holders: a directory (Dir null), or a name with the
// directory before it.
struct TLinePath::TPart {
    std::atomic<uint32_t> Refs;
    uint32_t Size;
    TPart* Dir;
    char Text[1];

    std::string_view View() const { return {Text, Size}; }
};

namespace {

using TPart = TLinePath::TPart;

TPart* MakePart(std::string_view text, TPart* dir) {
    void* at = ::operator new(offsetof(TPart, Text) + std::max<size_t>(text.size(), 1));
    auto* part = static_cast<TPart*>(at);
    new (&part->Refs) std::atomic<uint32_t>(1);
    part->Size = static_cast<uint32_t>(text.size());
    part->Dir = dir;
    std::memcpy(part->Text, text.data(), text.size());
    return part;
}

TPart* Hold(TPart* part) {
    if (part)
        part->Refs.fetch_add(1, std::memory_order_relaxed);
    return part;
}

void Release(TPart* part) {
    while (part && part->Refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        TPart* dir = part->Dir;
        part->Refs.~atomic();
        ::operator delete(part);
        part = dir;
    }
}

// The parts made last on this thread, each held once more by the thread itself, so that
// the next path of the same directory, or the very same path, shares them. A few of each:
// a queue's load and a folder's expansion make a source and a destination line in turn.
constexpr int Kept = 4;
struct TLastParts {
    TPart* Dir[Kept] = {};
    TPart* Whole[Kept] = {};
    int NextDir = 0, NextWhole = 0;
    ~TLastParts() {
        for (int i = 0; i < Kept; ++i) {
            Release(Dir[i]);
            Release(Whole[i]);
            Dir[i] = Whole[i] = nullptr;
        }
    }
    // Keeps `part` in place of the oldest of its kind.
    static void Keep(TPart* (&parts)[Kept], int& next, TPart* part) {
        Release(parts[next]);
        parts[next] = Hold(part);
        next = (next + 1) % Kept;
    }
};
thread_local TLastParts last;

bool SameText(const TPart* whole, std::string_view dir, std::string_view name) {
    return whole->View() == name && (whole->Dir ? whole->Dir->View() == dir : dir.empty());
}

} // namespace

TLinePath::TLinePath(std::string_view path) {
    if (path.empty())
        return;
    // The directory part ends with its last slash; "/a/b/" is all directory.
    const size_t slash = path.rfind('/');
    const std::string_view dir =
        slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
    const std::string_view name = path.substr(dir.size());
    for (TPart* whole : last.Whole)
        if (whole && SameText(whole, dir, name)) {
            part_ = Hold(whole);
            return;
        }
    TPart* dirPart = nullptr;
    if (!dir.empty()) {
        for (TPart* known : last.Dir)
            if (known && known->View() == dir) {
                dirPart = Hold(known);
                break;
            }
        if (!dirPart) {
            dirPart = MakePart(dir, nullptr);
            TLastParts::Keep(last.Dir, last.NextDir, dirPart);
        }
    }
    try {
        part_ = MakePart(name, dirPart);
    } catch (...) {
        Release(dirPart);
        throw;
    }
    TLastParts::Keep(last.Whole, last.NextWhole, part_);
}

TLinePath::TLinePath(const TLinePath& other) noexcept : part_(Hold(other.part_)) {}

TLinePath::~TLinePath() {
    Release(part_);
}

size_t TLinePath::size() const {
    if (!part_)
        return 0;
    return part_->Size + (part_->Dir ? part_->Dir->Size : 0);
}

void TLinePath::AppendTo(std::string& out) const {
    if (!part_)
        return;
    if (part_->Dir)
        out.append(part_->Dir->View());
    out.append(part_->View());
}

std::string TLinePath::Str() const {
    std::string out;
    out.reserve(size());
    AppendTo(out);
    return out;
}

bool operator==(const TLinePath& a, std::string_view b) {
    if (!a.part_)
        return b.empty();
    const std::string_view dir = a.part_->Dir ? a.part_->Dir->View() : std::string_view();
    return b.size() == dir.size() + a.part_->Size && b.substr(0, dir.size()) == dir &&
           b.substr(dir.size()) == a.part_->View();
}

bool operator==(const TLinePath& a, const TLinePath& b) {
    return a.part_ == b.part_ || a == std::string_view(b.Str());
}

} // namespace ferrox
