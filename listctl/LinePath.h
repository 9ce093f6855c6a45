#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace ferrox {

// A line's path, kept compactly: a queue of a million lines holds a million paths, most of
// them in a few directories, and its destination lines mostly name the same directory.
// The path is stored as its directory part (shared by every path of that directory made
// one after another on a thread, as a folder's expansion and a queue's load make them) and
// the name beside it; a path made right after the same one on a thread is the same
// storage. The text never changes once made, so any thread may read it without a lock;
// the parts are counted atomically and freed with their last path.
class TLinePath {
public:
    TLinePath() = default;
    explicit TLinePath(std::string_view path);
    TLinePath(const TLinePath& other) noexcept;
    TLinePath(TLinePath&& other) noexcept : part_(other.part_) { other.part_ = nullptr; }
    TLinePath& operator=(TLinePath other) noexcept {
        std::swap(part_, other.part_);
        return *this;
    }
    ~TLinePath();

    std::string Str() const;
    operator std::string() const { return Str(); }
    size_t size() const;
    bool empty() const { return size() == 0; }
    // Appends the text to `out` without a string of its own.
    void AppendTo(std::string& out) const;

    friend bool operator==(const TLinePath& a, std::string_view b);
    friend bool operator==(const TLinePath& a, const TLinePath& b);

    struct TPart;

private:
    TPart* part_ = nullptr;
};

} // namespace ferrox
