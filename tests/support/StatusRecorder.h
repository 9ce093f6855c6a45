#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "diag/StatusLine.h"

namespace ferrox::test {

// Records every text of a status line while it lives: a line of its own (Line), or one
// that it is given.
class TStatusRecorder {
public:
    TStatusRecorder() : TStatusRecorder(Line) {}
    explicit TStatusRecorder(TStatusLine& line) : line_(line) {
        line_.SetSink([this](const std::string& text, TStatusKind kind) { Record(text, kind); });
    }
    virtual ~TStatusRecorder() { line_.SetSink(nullptr); }
    TStatusRecorder(const TStatusRecorder&) = delete;
    TStatusRecorder& operator=(const TStatusRecorder&) = delete;

    // The recorder's own status line; unused when it was given another one.
    TStatusLine Line;

    std::vector<std::string> Texts() const {
        std::lock_guard lock(mutex_);
        return texts_;
    }
    // The kinds of the texts, in the same order.
    std::vector<TStatusKind> Kinds() const {
        std::lock_guard lock(mutex_);
        return kinds_;
    }
    size_t Count(const std::string& text) const {
        std::lock_guard lock(mutex_);
        size_t n = 0;
        for (const auto& t : texts_)
            n += t == text;
        return n;
    }
    std::string Last() const {
        std::lock_guard lock(mutex_);
        return texts_.empty() ? std::string() : texts_.back();
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        texts_.clear();
        kinds_.clear();
    }

protected:
    virtual void Record(const std::string& text, TStatusKind kind) {
        std::lock_guard lock(mutex_);
        texts_.push_back(text);
        kinds_.push_back(kind);
    }

private:
    TStatusLine& line_;
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
    std::vector<TStatusKind> kinds_;
};

} // namespace ferrox::test
