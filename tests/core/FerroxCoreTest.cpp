#include "core/FerroxCore.h"
#include "core/AppException.h"
#include "core/instance/QueueRequest.h"
#include "diag/ErrorLog.h"
#include "diag/Trace.h"
#include "persist/Options.h"
#include "platform/Event.h"
#include "platform/Fd.h"
#include "platform/SettingsDir.h"
#include "support/ListHelpers.h"
#include "support/SavedQueue.h"
#include "support/StatusRecorder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <sys/file.h>
#include <thread>
#include <vector>

using namespace ferrox;
using namespace ferrox::test;

namespace ferrox {
void PrintTo(const TQueueAnswer& answer, std::ostream* os) {
    *os << (answer.Queued ? "queued" : "refused") << " \"" << answer.Reason << "\"";
}
} // namespace ferrox

namespace {

using TStrings = std::vector<std::string>;

std::string QueueText(const std::vector<std::string>& sources, const std::string& dest) {
    std::string text = "[Queue]\r\n";
    for (size_t i = 0; i < sources.size(); ++i) {
        std::string n = std::to_string(i + 1);
        text += "FROM-" + n + "=F:" + sources[i] + "\r\nTO-" + n + "=" + dest + "\r\nDONE-" + n +
                "=0\r\nMOVE-" + n + "=0\r\n";
    }
    return text;
}

// Records the status line, the run's words included, as the window shows them; a text
// named in HoldAt keeps its sender waiting until Release, which lets a test act at a known
// point of the worker's way.
class THoldingStatus : public IStatusLine, public IRunEvents {
public:
    std::string HoldAt;
    TEvent Release{false};

    void RunEvent(const TRunEvent&, const TEventWords& words) override {
        for (const std::string* text : {&words.Logged, &words.Shown})
            if (!text->empty())
                SetStatusText(*text, TStatusKind::Info);
    }

    void SetStatusText(const std::string& text, TStatusKind) override {
        {
            std::lock_guard lock(mutex_);
            texts_.push_back(text);
        }
        if (!HoldAt.empty() && text == HoldAt)
            Release.Wait();
    }
    std::vector<std::string> Texts() const {
        std::lock_guard lock(mutex_);
        return texts_;
    }
    bool WaitFor(const std::string& text) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            {
                std::lock_guard lock(mutex_);
                for (const auto& t : texts_)
                    if (t == text)
                        return true;
            }
            std::this_thread::yield();
        }
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
};

class TWaitRecorder : public IPleaseWait {
public:
    int Shown = 0;
    std::function<void()> OnShow;
    void ShowPleaseWait() override {
        ++Shown;
        if (OnShow)
            OnShow();
    }
    void HidePleaseWait() override {}
};

// A status line that also lets a test look around when a text arrives (on its sender's
// thread).
class TWatchingStatus : public THoldingStatus {
public:
    std::function<void(const std::string&)> OnText;
    void SetStatusText(const std::string& text, TStatusKind kind) override {
        THoldingStatus::SetStatusText(text, kind);
        if (OnText)
            OnText(text);
    }
};

struct TFerroxCoreTest : ::testing::Test {
    TTempDir dir;
    TWorkingDirectory cwd{dir.Path()};
    void SetUp() override { TraceCreate(); }
    void TearDown() override { TraceRelease(); }
};

} // namespace

// The load comes last: the options are read and the queue file is named by then, the
// load runs without the please-wait box, and what it shows is the last word of start-up.
TEST_F(TFerroxCoreTest, StartUpLoadsTheQueueLastWithOptionsReadAndAutosaveWired) {
    MakeDir(dir / "prog");
    WriteFile(dir / "prog/QOPTIONS.INI", "[Options]\r\nDisplayProgressBar=0\r\n");
    std::vector<std::string> sources;
    for (int i = 0; i < 300; ++i)
        sources.push_back(dir / ("src" + std::to_string(i)));
    WriteFile(dir / "prog/QUEUE.INI", QueueText(sources, dir / "out"));
    SetSettingsDirForTesting(dir / "prog");

    TWatchingStatus status;
    TWaitRecorder wait;
    TFerroxCore core;
    bool optionsReadBeforeLoad = false, loadRunning = false;
    TCoreSinks sinks;
    sinks.StatusLine = &status;
    sinks.RunEvents = &status;
    sinks.PleaseWait = &wait;
    status.OnText = [&](const std::string& text) {
        // The load empties the status line before it goes through its lines.
        if (text != "" || core.SourceList().RootNodeCount() != 0)
            return;
        optionsReadBeforeLoad =
            !core.Options().DisplayProgressBar && core.Options().DeleteToRecycle;
        auto entries = TraceEntries();
        loadRunning = std::find(entries.begin(), entries.end(), "LoadQueue") != entries.end();
    };
    core.Attach(sinks);
    core.Start();

    EXPECT_TRUE(loadRunning);
    EXPECT_TRUE(optionsReadBeforeLoad);
    EXPECT_EQ(wait.Shown, 0);
    EXPECT_EQ(core.QueueFileName(), dir / "prog/QUEUE.INI");
    EXPECT_EQ(core.SourceList().RootNodeCount(), 300u);
    EXPECT_TRUE(status.WaitFor("Processing Thread Started"));
    auto texts = status.Texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Queue Loaded [300 records]"), texts.end());
    // The monitor's start-up is over before the load: no entries of two threads mixed.
    EXPECT_TRUE(TraceEntries().empty()) << TraceText();
    // The monitor's announcement does not land on top of what the load showed.
    EXPECT_EQ(texts.back(), "Queue Loaded [300 records]");

    // A small queue is saved after every command.
    TCopyQueue& queue = core.PartsForTesting().Queue;
    queue.Clear(queue.lstCopyFrom);
    queue.Clear(queue.lstCopyTo);
    queue.AddItem(queue.lstCopyFrom, dir / "kept", false, lsFileWaiting);
    queue.AddItem(queue.lstCopyTo, dir / "out", false, lsDirWaiting);
    queue.AddItem(queue.lstCopyFrom, dir / "done", false, lsFileDone);
    queue.AddItem(queue.lstCopyTo, dir / "out", false, lsDirDone);
    queue.ClearCompleted();
    std::string saved = ReadFile(dir / "prog/QUEUE.INI");
    EXPECT_NE(saved.find("FROM-1=F:" + dir / "kept"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("FROM-2="), std::string::npos) << saved;

    core.Shutdown();
    EXPECT_FALSE(core.PartsForTesting().Monitor.Running());
    EXPECT_TRUE(status.WaitFor("Processing Thread Shutdown"));
}

// Closing while a run is paused: the worker is woken and ends before its next line, the
// monitor ends, nothing is saved, and none of it waits for the face.
// A policy word that means nothing makes the window's runs skip existing targets, and
// says so once, as the last word of start-up (the window's status line shows the latest
// text) and in the log; what a face decides itself is neither read nor told.
TEST_F(TFerroxCoreTest, AnOptionThatMeansNothingRunsSafelyAndIsStartUpsLastWord) {
    SetSettingsDirForTesting(dir.Path());
    WriteFile(dir / "QOPTIONS.INI", "[Options]\r\nExistingTargets=KeepBoht\r\n");
    WriteFile(dir / "a", "new");
    MakeDir(dir / "out");
    WriteFile(dir / "out/a", "old");
    WriteFile(dir / "QUEUE.INI", QueueText({dir / "a"}, dir / "out"));
    const std::string told =
        "Unknown ExistingTargets=KeepBoht in QOPTIONS.INI, Skip is used (the safest)";
    {
        THoldingStatus status;
        TFerroxCore core;
        TCoreSinks sinks;
        sinks.StatusLine = &status;
        sinks.RunEvents = &status;
        core.Attach(sinks);
        EXPECT_EQ(core.Start(), TLoadResult::Loaded);
        EXPECT_EQ(status.Texts().back(), told);
        EXPECT_EQ(ReadFile(dir / LogFileName()), told + "\r\n");
        core.StartPauseResume();
        ASSERT_TRUE(status.WaitFor("All File Copies Completed"));
        EXPECT_EQ(ReadFile(dir / "out/a"), "old");
        core.Shutdown();
    }
    THoldingStatus status;
    TFerroxCore core;
    TCoreSinks sinks;
    sinks.StatusLine = &status;
    sinks.RunEvents = &status;
    core.Attach(sinks);
    core.OverrideOptions({TExistingTargets::Overwrite, std::nullopt, std::nullopt});
    core.Start();
    const auto texts = status.Texts();
    EXPECT_EQ(std::find(texts.begin(), texts.end(), told), texts.end());
    EXPECT_EQ(core.Options().ExistingTargets, TExistingTargets::Overwrite);
}

TEST_F(TFerroxCoreTest, ShutdownDuringAPausedRunEndsWithoutSavingOrHanging) {
    WriteFile(dir / "a", "a");
    WriteFile(dir / "b", "b");
    MakeDir(dir / "out");
    const std::string queueFile = dir / "QUEUE.INI";
    const std::string queueText = QueueText({dir / "a", dir / "b"}, dir / "out");
    WriteFile(queueFile, queueText);

    THoldingStatus status;
    status.HoldAt = "Starting Copy";
    int closed = 0;

    auto core = std::make_unique<TFerroxCore>(queueFile);
    TCoreSinks sinks;
    sinks.StatusLine = &status;
    sinks.RunEvents = &status;
    sinks.CloseProgram = [&] { ++closed; };
    core->Attach(sinks);
    core->Start();

    core->StartPauseResume(); // the worker now waits in "Starting Copy"
    ASSERT_TRUE(status.WaitFor("Starting Copy"));
    core->StartPauseResume(); // "Pause" before it reaches its first line
    EXPECT_EQ(core->CopyNowButton(), RunTexts::CopyNowPaused);
    status.Release.Set();
    ASSERT_TRUE(status.WaitFor("Copy currently Paused."));

    auto done = std::async(std::launch::async, [&] { core.reset(); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_FALSE(Exists(dir / "out/a"));
    EXPECT_FALSE(Exists(dir / "out/b"));
    EXPECT_EQ(ReadFile(queueFile), queueText);
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(RunThreadCount(), 0u); // the worker and the monitor ended
}

// Closing during a file's copy ends it as Abort does, however large the file: the copy
// stops (an old target stays, nothing half-written is left) and nothing is saved.
TEST_F(TFerroxCoreTest, ClosingDuringACopyStopsTheFileInProgress) {
    WriteFile(dir / "big", std::string(8 << 20, 'x'));
    MakeDir(dir / "out");
    WriteFile(dir / "out/big", "the old target");
    const std::string queueFile = dir / "QUEUE.INI";
    const std::string queueText = QueueText({dir / "big"}, dir / "out");
    WriteFile(queueFile, queueText);

    // Holds the worker where the file is about to be copied.
    struct THold : IRunEvents {
        TEvent Started{false}, Release{false};
        void RunEvent(const TRunEvent& e, const TEventWords&) override {
            if (e.Kind != TRunEvent::FileStarted)
                return;
            Started.Set();
            Release.Wait();
        }
    } hold;
    auto core = std::make_unique<TFerroxCore>(queueFile);
    TCoreSinks sinks;
    sinks.RunEvents = &hold;
    core->Attach(sinks);
    core->Start();
    const std::atomic<bool>& abortAsked = core->PartsForTesting().Run.AbortAsked;
    core->StartPauseResume();
    hold.Started.Wait();

    auto closed = std::async(std::launch::async, [&] { core.reset(); });
    // The shutdown asks the run to stop before the data moves: then the file goes on.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!abortAsked.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    hold.Release.Set();
    ASSERT_EQ(closed.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(ReadFile(dir / "out/big"), "the old target");
    EXPECT_EQ(ReadFile(queueFile), queueText);
    size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir / "out"))
        entries += !e.path().empty();
    EXPECT_EQ(entries, 1u);
}

TEST_F(TFerroxCoreTest, AppExceptionWritesThreeLinesAndLeavesTheTrace) {
    TStatusRecorder status;
    Trace("FormCreate");
    Trace("a name, with a comma");
    AppException(status.Line, "disk on fire");

    EXPECT_EQ(ReadFile(dir / LogFileName()),
              "An Exception occurred, please the email developer the log file [disk on fire]\r\n"
              "Trace is : \r\n"
              "FormCreate,\"a name, with a comma\"\r\n");
    EXPECT_EQ(TraceEntries().size(), 2u);
    EXPECT_EQ(status.Texts().back(), "FormCreate,\"a name, with a comma\"");
}

// A `ferrox` command's request is queued by the window's own commands, in one step, and
// refused whole where the window would refuse it: a destination during a run (the run
// would pass the new lines over first), one that is gone, a garbled message (logged).
TEST_F(TFerroxCoreTest, RequestsFromOutsideQueueAsDropsAndAreRefusedWhole) {
    SetSettingsDirForTesting(dir.Path());
    // Moved sources go for good, not into the trash of whoever runs the tests.
    WriteFile(dir / "QOPTIONS.INI", "[Options]\r\nDeleteToRecycle=0\r\n");
    WriteFile(dir / "a", "a");
    WriteFile(dir / "b", "b");
    MakeDir(dir / "tree");
    WriteFile(dir / "tree/c", "c");
    MakeDir(dir / "out");
    MakeDir(dir / "other");
    THoldingStatus status;
    TFerroxCore core;
    std::optional<std::vector<std::string>> trace;
    core.SourceList().OnChanged = [&] {
        if (!trace)
            trace = TraceEntries();
    };
    TCoreSinks sinks;
    sinks.StatusLine = &status;
    sinks.RunEvents = &status;
    core.Attach(sinks);
    core.Start();
    trace.reset(); // the load's

    TQueueRequest request{{dir / "a", dir / "tree"}, dir / "out", true, false};
    EXPECT_EQ(core.QueueFromOutside(request), (TQueueAnswer{true, ""}));
    EXPECT_EQ(trace,
              (std::vector<std::string>{"QueueFromOutside", "lstCopyFromDropFiles", "DragDropit"}));
    const TSaved queued{{"F:" + dir / "a", dir / "out", false, true},
                        {"D:" + dir / "tree", dir / "out", false, true}};
    EXPECT_EQ(ReadSavedQueue(dir / "QUEUE.INI"), queued) << "saved as after a drop";

    EXPECT_EQ(core.QueueFromOutside({{dir / "b"}, dir / "gone", false, false}),
              (TQueueAnswer{false, "cannot queue into '" + dir / "gone" +
                                       "': No such file or directory"}));
    // The queue file could not keep it: not queued, and neither is the rest.
    EXPECT_EQ(core.QueueFromOutside({{dir / "b", dir / "a\nb"}, std::nullopt}),
              (TQueueAnswer{false, LineBreakMessage({dir / "a\nb"})}));
    core.RequestRefused("unknown flags");
    EXPECT_EQ(ReadFile(dir / LogFileName()), "Request from outside refused [unknown flags]\r\n");

    // During a run: lines may come, a destination may not, and Copy NOW is not pressed.
    status.HoldAt = "Starting Copy";
    core.StartPauseResume();
    // The run's first words come from its own thread: held there before the requests.
    ASSERT_TRUE(status.WaitFor("Starting Copy"));
    EXPECT_EQ(core.QueueFromOutside({{dir / "b"}, dir / "other", false, true}),
              (TQueueAnswer{false, MsgCannotSetDestinationRunning}));
    EXPECT_EQ(status.Texts().back(), MsgCannotSetDestinationRunning);
    EXPECT_EQ(core.SourceList().RootNodeCount(), 2u) << "refused whole";
    EXPECT_TRUE(core.QueueFromOutside({{dir / "b"}, std::nullopt, false, true}).Queued);
    EXPECT_EQ(core.CopyNowButton(), RunTexts::CopyNowRunning);
    status.Release.Set();
    // The line without a destination is passed over, and counted so.
    ASSERT_TRUE(status.WaitFor("All File Copies Completed \u2014 1 not reached"));
    EXPECT_TRUE(Exists(dir / "out/a"));
    EXPECT_FALSE(Exists(dir / "a")) << "the mark came with the line";
    EXPECT_TRUE(Exists(dir / "out/tree/c"));

    // Idle again: the destination goes to the line without one, and the run starts.
    EXPECT_TRUE(core.QueueFromOutside({{}, dir / "other", false, true}).Queued);
    ASSERT_TRUE(status.WaitFor("All File Copies Completed"));
    EXPECT_EQ(ReadFile(dir / "other/b"), "b");
    EXPECT_TRUE(Exists(dir / "b")) << "b was not a move";
}

// Each request is applied whole and alone: its paths pair with its own destination or
// with none, whatever lines other requests or the user left; a destination alone goes
// only to source lines waiting without one. What the window shows after the requests is
// what the next start loads (leftover lines the user made aside).
TEST_F(TFerroxCoreTest, ARequestsPathsPairWithItsOwnDestinationOrNone) {
    SetSettingsDirForTesting(dir.Path());
    for (const char* name : {"g", "w"})
        WriteFile(dir / name, name);
    for (const char* name : {"backup", "elsewhere", "left", "mine"})
        MakeDir(dir / name);
    struct TCase {
        const char* what;
        std::function<void(TFerroxCore&)> userMade; // lines the user made first
        std::vector<std::pair<TQueueRequest, TQueueAnswer>> requests;
        TStrings from, to;     // in the window afterwards
        TStrings leftoverTo{}; // the user's own lines past the source list (not saved)
    };
    const std::string g = dir / "g", w = dir / "w";
    const TCase cases[] = {
        {"a destination alone, with nothing waiting, adds nothing",
         nullptr,
         {{{{}, dir / "backup"},
           {true, MsgNoLineWithoutDestination + ("[" + dir / "backup" + "]")}},
          {{{g}, dir / "elsewhere"}, {true, ""}}},
         {g},
         {dir / "elsewhere"}},
        {"the user's destination past the source list stays past it",
         [&](TFerroxCore& core) { core.DropOnDestinations({dir / "left"}); },
         {{{{g}, dir / "mine"}, {true, ""}}},
         {g},
         {dir / "mine"},
         {dir / "left"}},
        {"a line waiting for a destination keeps waiting",
         nullptr,
         {{{{w}, std::nullopt}, {true, ""}}, {{{g}, dir / "mine"}, {true, ""}}},
         {g, w},
         {dir / "mine"}},
        {"lines without a destination take none of the user's",
         [&](TFerroxCore& core) { core.DropOnDestinations({dir / "left"}); },
         {{{{g}, std::nullopt}, {true, MsgDestinationsWithoutSourceRemoved + std::string("[1]")}}},
         {g},
         {}},
        {"a destination alone goes to the lines waiting without one",
         nullptr,
         {{{{w}, std::nullopt}, {true, ""}},
          {{{g}, dir / "mine"}, {true, ""}},
          {{{}, dir / "backup"}, {true, ""}}},
         {g, w},
         {dir / "mine", dir / "backup"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink((dir / "QUEUE.INI").c_str());
        TStrings shownFrom, shownTo;
        {
            THoldingStatus status;
            TFerroxCore core;
            TCoreSinks sinks;
            sinks.StatusLine = &status;
            sinks.RunEvents = &status;
            core.Attach(sinks);
            core.Start();
            if (c.userMade)
                c.userMade(core);
            for (const auto& [request, answer] : c.requests) {
                EXPECT_EQ(core.QueueFromOutside(request), answer);
                if (!answer.Reason.empty()) {
                    EXPECT_EQ(status.Texts().back(), answer.Reason);
                }
            }
            shownFrom = Paths(core.SourceList());
            shownTo = Paths(core.DestinationList());
        }
        EXPECT_EQ(shownFrom, c.from);
        TStrings to = c.to;
        to.insert(to.end(), c.leftoverTo.begin(), c.leftoverTo.end());
        EXPECT_EQ(shownTo, to);
        // The next start shows the same pairs.
        TFerroxCore again;
        again.Start();
        EXPECT_EQ(Paths(again.SourceList()), c.from);
        EXPECT_EQ(Paths(again.DestinationList()), c.to);
    }
}

// A Ferrox that closes keeps its queue file only until its process ends, and one that
// starts meanwhile waits for that, with the please-wait box, and shows the queue; one
// that finds the file held by a Ferrox that goes on is told so at once.
TEST_F(TFerroxCoreTest, AStartWaitsForAFerroxThatIsClosingNotForOneThatGoesOn) {
    SetSettingsDirForTesting(dir.Path());
    WriteFile(dir / "QUEUE.INI", QueueText({dir / "a", dir / "b"}, dir / "out"));
    for (const bool closing : {true, false}) {
        SCOPED_TRACE(closing ? "closing" : "going on");
        auto first = std::make_unique<TFerroxCore>();
        ASSERT_EQ(first->Start(), TLoadResult::Loaded);
        if (closing)
            first->Closing();
        THoldingStatus status;
        TWaitRecorder wait;
        TCoreSinks sinks;
        sinks.StatusLine = &status;
        sinks.RunEvents = &status;
        sinks.PleaseWait = &wait;
        // The first one ends once the second shows that it waits.
        wait.OnShow = [&] { first.reset(); };
        TFerroxCore second;
        second.Attach(sinks);
        if (closing) {
            EXPECT_EQ(second.Start(), TLoadResult::Loaded);
            EXPECT_EQ(wait.Shown, 1);
            EXPECT_EQ(second.SourceList().RootNodeCount(), 2u);
            EXPECT_TRUE(status.WaitFor("Queue Loaded [2 records]"));
        } else {
            EXPECT_EQ(second.Start(), TLoadResult::InUseElsewhere);
            EXPECT_EQ(wait.Shown, 0);
            EXPECT_TRUE(status.WaitFor(InUseMessage(dir / "QUEUE.INI")));
        }
    }
}

// While the queue file's thread saves or loads, the commands that come wait for it and
// then run in the order they came, on the whole queue; the please-wait box is shown and
// hidden around it. The window's close box during the Close button's save drops what
// waited, lets the save end, and leaves the file held as one that is ending.
TEST_F(TFerroxCoreTest, CommandsDuringTheQueueFilesWorkWaitForItInOrder) {
    SetSettingsDirForTesting(dir.Path());
    WriteFile(dir / "loaded.ini", QueueText({dir / "l1", dir / "l2"}, dir / "out"));
    MakeDir(dir / "dropped");
    struct TCase {
        const char* what;
        std::function<void(TFerroxCore&, TStrings&)> start;
        bool closeBoxMeanwhile;
        TStrings sources;  // when all is done
        TStrings seen;     // by a command that came during the work
        std::string file;  // what it holds then
        TStrings fileFrom; // its source paths
        TStrings told;     // to the face, in order
    };
    const TCase cases[] = {
        {"save as",
         [&](TFerroxCore& core, TStrings& told) {
             core.SaveQueueAs(dir / "saved.ini", [&](TSaveResult r) {
                 told.push_back(r == TSaveResult::Saved ? "saved" : "not saved");
             });
         },
         false,
         {dir / "a", dir / "dropped"},
         {dir / "a", dir / "dropped"},
         dir / "saved.ini",
         {"F:" + dir / "a", "D:" + dir / "dropped"},
         {"saved", "command"}},
        {"load",
         [&](TFerroxCore& core, TStrings& told) {
             core.LoadQueueFrom(dir / "loaded.ini", [&](TLoadResult r) {
                 told.push_back(r == TLoadResult::Loaded ? "loaded" : "not loaded");
             });
         },
         false,
         {dir / "l1", dir / "l2", dir / "dropped"},
         {dir / "l1", dir / "l2", dir / "dropped"},
         dir / "loaded.ini",
         {"F:" + dir / "l1", "F:" + dir / "l2", "D:" + dir / "dropped"},
         {"loaded", "command"}},
        {"close button, then the close box",
         [&](TFerroxCore& core, TStrings&) { core.AbortOrClose(); },
         // What waited, and the close after the save, go with the window.
         true,
         {dir / "a"},
         {},
         dir / "QUEUE.INI",
         {"F:" + dir / "a"},
         {}},
    };
    const std::thread::id faceThread = std::this_thread::get_id();
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink((dir / "QUEUE.INI").c_str());
        TWatchingStatus status;
        TEvent held{false}, release{false};
        // The work empties the status line on its own thread just before its long part.
        status.OnText = [&](const std::string& text) {
            if (text.empty() && std::this_thread::get_id() != faceThread && !held.IsSet()) {
                held.Set();
                release.Wait();
            }
        };
        struct TBox : IPleaseWait {
            std::string Shown;
            void ShowPleaseWait() override { Shown += "show;"; }
            void HidePleaseWait() override { Shown += "hide;"; }
        } box;
        TFerroxCore core;
        TStrings told;
        TCoreSinks sinks;
        sinks.StatusLine = &status;
        sinks.PleaseWait = &box;
        sinks.CloseProgram = [&] { told.push_back("closed"); };
        core.Attach(sinks);
        core.Start();
        core.AddFiles(std::vector<std::string>{dir / "a"});

        c.start(core, told);
        ASSERT_TRUE(held.WaitFor(std::chrono::seconds(30)));
        core.DropOnSources({dir / "dropped"});
        std::optional<TStrings> seen;
        core.RunInTurn([&] {
            told.push_back("command");
            seen = Paths(core.SourceList());
        });
        EXPECT_TRUE(told.empty()) << "nothing ran while the work was held";
        if (c.closeBoxMeanwhile)
            core.Closing();
        release.Set();
        core.WaitForQueueFile();

        EXPECT_EQ(Paths(core.SourceList()), c.sources);
        EXPECT_EQ(seen.value_or(TStrings{}), c.seen);
        TStrings fileFrom;
        for (const TSavedLine& line : ReadSavedQueue(c.file))
            fileFrom.push_back(line.From);
        EXPECT_EQ(fileFrom, c.fileFrom);
        EXPECT_EQ(box.Shown, "show;hide;");
        EXPECT_EQ(told, c.told);
        if (c.closeBoxMeanwhile) {
            // A Ferrox starting now waits for this one's end instead of calling it busy.
            TFd fd(::open(c.file.c_str(), O_RDONLY | O_CLOEXEC));
            EXPECT_NE(::flock(fd.Get(), LOCK_EX | LOCK_NB), 0);
            EXPECT_EQ(::flock(fd.Get(), LOCK_SH | LOCK_NB), 0);
        }
    }
}
