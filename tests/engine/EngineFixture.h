#pragma once
#include "diag/ErrorLog.h"
#include "diag/Trace.h"
#include "engine/FileCopy.h"
#include "engine/RunControl.h"
#include "persist/Options.h"
#include "support/ListHelpers.h"
#include "support/StatusRecorder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <unistd.h>

namespace ferrox::test {

// A fresh temp dir as working directory (error logs land there), a private trash, a
// queue with its run state and run control, and a recorder of the status line.
struct TEngineTest : ::testing::Test {
    TTempDir dir;
    TWorkingDirectory cwd{dir.Path()}; // error logs land here
    TStatusRecorder status;
    TCopyQueue q;
    TRunState run;
    TRunControl control{q, run};

    void SetUp() override {
        ::setenv("XDG_DATA_HOME", (dir / "xdg").c_str(), 1);
        TraceRelease();
        TraceCreate();
        ProgressList.Clear();
        DeleteToRecycle = true;
        DisplayProgressBar = true;
    }
    void TearDown() override {
        control.ReleaseWorker();
        TraceRelease();
        ProgressList.Clear();
    }

    std::string P(const std::string& name) const { return dir / name; }

    void AddPair(const std::string& source, const std::string& dest, bool isDir = false,
                 bool move = false) {
        q.AddItem(q.lstCopyFrom, source, move, isDir ? lsDirWaiting : lsFileWaiting);
        q.AddItem(q.lstCopyTo, dest, false, lsDirWaiting);
    }

    // Starts a run (or a selected-lines run) and waits until it has ended.
    void RunToEnd(bool selectedOnly = false) {
        if (selectedOnly)
            control.mnupopFromCopythisLineClick();
        else
            control.btnCopyNowClick();
        WaitForRunEnd();
    }
    void WaitForRunEnd() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!(control.CopyWorker() && control.CopyWorker()->Finished()) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(control.CopyWorker() && control.CopyWorker()->Finished());
        control.CopyWorker()->WaitFor();
    }

    // Waits (up to 30 s) until the status line has shown the text.
    bool WaitForStatus(const std::string& text) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (status.Count(text) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return status.Count(text) > 0;
    }
    bool LogExists() const { return Exists(dir / LogFileName()); }
};

// Busy-waits (in a thread) for the first progress report, then runs the action: lets a
// test act while a large file is being copied.
inline std::thread WhenCopyStarts(std::function<void()> action, size_t reports = 2) {
    return std::thread([action = std::move(action), reports] {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (ProgressList.Count() < reports && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        action();
    });
}

// A file of `mib` MiB of non-repeating bytes.
void WriteBigFile(const std::string& path, int mib);

} // namespace ferrox::test
