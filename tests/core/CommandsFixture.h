#pragma once
#include "core/ListCommands.h"
#include "diag/Trace.h"
#include "persist/IniFile.h"
#include "persist/Options.h"
#include "persist/QueueFile.h"
#include "platform/SettingsDir.h"
#include "support/ListHelpers.h"
#include "support/PairHelpers.h"
#include "support/SavedQueue.h"
#include "support/StatusRecorder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace ferrox::test {

// Also keeps the trace stack as it stood when each text was shown, so a test sees under
// which name a message went out.
class TTracingStatusRecorder : public TStatusRecorder {
public:
    using TStatusRecorder::TStatusRecorder;
    void Record(const std::string& text, TStatusKind kind) override {
        TStatusRecorder::Record(text, kind);
        std::lock_guard lock(mutex_);
        traces_.push_back(TraceEntries());
    }
    // The trace under which `text` was first shown, without ShowStatus's own entry.
    std::vector<std::string> TraceAt(const std::string& text) const {
        std::vector<std::string> texts = Texts();
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < texts.size() && i < traces_.size(); ++i)
            if (texts[i] == text) {
                std::vector<std::string> t = traces_[i];
                if (!t.empty() && t.back() == "ShowStatus")
                    t.pop_back();
                return t;
            }
        return {"(not shown)"};
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        TStatusRecorder::Clear();
        traces_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::vector<std::string>> traces_;
};

using TStrings = std::vector<std::string>;

// A queue with its run state, run control and a real queue file in a fresh directory,
// the commands over them, a folder dialog answering from `nextFolder`, and every autosave
// counted.
struct TCommandsTest : ::testing::Test {
    TTempDir dir;
    TWorkingDirectory cwd{dir.Path()}; // the queue's backup lands here
    TCopyQueue q;
    TTracingStatusRecorder status{q.StatusLine};
    TRunState run;
    TRunControl control{q, run};
    std::optional<TQueueFile> file;
    TListCommands commands{q, run, control};
    int saves = 0;
    std::optional<std::string> nextFolder;
    std::vector<std::pair<std::string, std::string>> browses; // caption, start folder

    void SetUp() override {
        SetSettingsDirForTesting(dir.Path());
        run.Settings.DeleteToRecycle =
            false; // a moved source goes for good, not into the user's trash
        file.emplace(q, run.CopyRunning);
        TraceRelease();
        TraceCreate();
        q.SetAutosave([this] {
            ++saves;
            file->Autosave();
        });
        commands.BrowseDialog = [this](const std::string& caption, const std::string& start) {
            browses.emplace_back(caption, start);
            return nextFolder;
        };
    }
    void TearDown() override {
        control.ReleaseWorker();
        TraceRelease();
    }

    std::string P(const std::string& name) const { return dir / name; }
    std::string MakeDirHere(const std::string& name) {
        MakeDir(P(name));
        return P(name);
    }
    std::string MakeFileHere(const std::string& name) {
        WriteFile(P(name), name);
        return P(name);
    }

    void From(const std::string& path, int32_t status = lsFileWaiting, bool move = false) {
        q.AddItem(q.lstCopyFrom, path, move, status);
    }
    void To(const std::string& path, int32_t status = lsDirWaiting) {
        q.AddItem(q.lstCopyTo, path, false, status);
    }
    void Select(TLineList& list, std::initializer_list<int> rows) {
        for (int r : rows)
            list.SetSelected(list.NodeAt(r), true);
    }

    // The pairs as the run reads them: source path -> destination path, "" for none.
    std::vector<std::pair<std::string, std::string>> Pairs() { return ferrox::test::Pairs(q); }

    // What the queue file on disk holds now; nothing when there is no file.
    TSaved Saved() const { return ReadSavedQueue(dir / "QUEUE.INI"); }

    // The trace stack as it stood at the first change either list announced while `action`
    // ran: the command's own entries, outermost first.
    TStrings TraceDuring(const std::function<void()>& action) {
        std::optional<TStrings> seen;
        auto record = [&] {
            if (!seen)
                seen = TraceEntries();
        };
        q.lstCopyFrom.OnChanged = record;
        q.lstCopyTo.OnChanged = record;
        action();
        q.lstCopyFrom.OnChanged = nullptr;
        q.lstCopyTo.OnChanged = nullptr;
        return seen.value_or(TStrings{"(no change announced)"});
    }
};

} // namespace ferrox::test
