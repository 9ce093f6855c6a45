#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "diag/StatusLine.h"

namespace ferrox::test {

// Records every status-line text while it lives.
class TStatusRecorder : public IStatusLine {
public:
    TStatusRecorder() { previous_ = SetStatusLine(this); }
    ~TStatusRecorder() override { SetStatusLine(previous_); }

    void SetStatusText(const std::string& text) override {
        std::lock_guard lock(mutex_);
        texts_.push_back(text);
    }
    std::vector<std::string> Texts() const {
        std::lock_guard lock(mutex_);
        return texts_;
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
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
    IStatusLine* previous_ = nullptr;
};

} // namespace ferrox::test
