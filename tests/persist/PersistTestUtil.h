#pragma once
#include "diag/StatusLine.h"

#include <mutex>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace ferrox::test {

// Keeps every text the status line is given, for the life of the object.
class TStatusRecorder : public IStatusLine {
public:
    TStatusRecorder() { previous_ = SetStatusLine(this); }
    ~TStatusRecorder() override { SetStatusLine(previous_); }
    TStatusRecorder(const TStatusRecorder&) = delete;
    TStatusRecorder& operator=(const TStatusRecorder&) = delete;

    void SetStatusText(const std::string& text) override {
        std::lock_guard lock(mutex_);
        texts_.push_back(text);
    }
    std::vector<std::string> Texts() const {
        std::lock_guard lock(mutex_);
        return texts_;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        texts_.clear();
    }

private:
    IStatusLine* previous_ = nullptr;
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
};

// Makes a directory the working directory until the end of the scope.
class TWorkingDirectory {
public:
    explicit TWorkingDirectory(const std::string& dir) {
        char buf[4096];
        if (!::getcwd(buf, sizeof buf))
            throw std::runtime_error("getcwd failed");
        previous_ = buf;
        if (::chdir(dir.c_str()) != 0)
            throw std::runtime_error("chdir failed: " + dir);
    }
    ~TWorkingDirectory() {
        if (::chdir(previous_.c_str()) != 0)
            std::abort();
    }
    TWorkingDirectory(const TWorkingDirectory&) = delete;
    TWorkingDirectory& operator=(const TWorkingDirectory&) = delete;

private:
    std::string previous_;
};

} // namespace ferrox::test
