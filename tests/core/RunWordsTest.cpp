#include "core/RunWords.h"
#include "core/FaceRelay.h"
#include "core/RunFiguresText.h"
#include "diag/ErrorLog.h"
#include "platform/NumberFormat.h"
#include "platform/SysError.h"
#include "support/TestSupport.h"
#include <cstdlib>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

using namespace ferrox;
using namespace ferrox::test;

namespace {

TRunEvent Event(TRunEvent::TKind kind, int code = 0, const std::string& where = {}) {
    TRunEvent e{kind, nullptr, "/src/f", code, where.empty() ? "/src/f" : where};
    e.Target = "/out/f";
    return e;
}

} // namespace

// Every event of a run in the words of the status line and the log, exactly as the
// window shows them and the log keeps them.
TEST(RunWords, EveryEventInTheStatusLinesWords) {
    auto with = [](TRunEvent e, auto change) {
        change(e);
        return e;
    };
    const auto line = PVirtualNode::Make();
    const std::string enoent = SysErrorMessage(ENOENT);
    const std::vector<std::pair<TRunEvent, TEventWords>> cases = {
        {Event(TRunEvent::RunStarted), {"", "Starting Copy"}},
        {Event(TRunEvent::FileStarted), {"", "/src/f"}},
        {Event(TRunEvent::FileSkipped), {"", "Skipped, target exists [/out/f]"}},
        {with(Event(TRunEvent::FileContinued), [](TRunEvent& e) { e.Bytes = 550ll << 20; }),
         {"", "[/src/f] continued at 550 MiB"}},
        {Event(TRunEvent::CopiedBeside), {"", "Target exists, copied as [/out/f]"}},
        {Event(TRunEvent::AttributesIncomplete, E2BIG),
         {"Extended attributes not all copied [/src/f] to [/out/f] " + SysErrorMessage(E2BIG), ""}},
        {with(Event(TRunEvent::SourceNotRemoved, EACCES), [&](TRunEvent& e) { e.Line = line; }),
         {"Source not removed [/src/f] " + SysErrorMessage(EACCES), ""}},
        // A folder that keeps a file is no failure; one that cannot be removed is.
        {Event(TRunEvent::SourceNotRemoved, ENOTEMPTY),
         {"", "Source not removed [/src/f] " + SysErrorMessage(ENOTEMPTY)}},
        {Event(TRunEvent::SourceNotRemoved, EACCES),
         {"Source not removed [/src/f] " + SysErrorMessage(EACCES), ""}},
        {Event(TRunEvent::CopyFailed, ENOENT),
         {"Error copying file [/src/f] to [/out/f] " + enoent, ""}},
        {Event(TRunEvent::CopyFailed, errVerificationFailed), {"Verification failed [/src/f]", ""}},
        {Event(TRunEvent::CopyFailed, errSourceChangedDuringCopy),
         {"Source changed during the copy [/src/f]", ""}},
        {Event(TRunEvent::FileFinished, ENOENT), {"", "Finished Copying file [/src/f]"}},
        {Event(TRunEvent::LineFailed, ENOENT), {"", "Error copying file [" + enoent + "]"}},
        {with(Event(TRunEvent::LineFailed, ENOENT, "/src/d"),
              [](TRunEvent& e) { e.Stage = TRunEvent::AtDirectory; }),
         {"Error copying directory [/src/d] " + enoent, "Error copying file [" + enoent + "]"}},
        {with(Event(TRunEvent::LineFailed, ENOENT, "/out/d/"),
              [](TRunEvent& e) { e.Stage = TRunEvent::AtMakingFolder; }),
         {"Error creating directory [/out/d/] " + enoent, "Error copying file [" + enoent + "]"}},
        {Event(TRunEvent::LineInterrupted, ECANCELED),
         {"", "Error copying file [" + SysErrorMessage(ECANCELED) + "]"}},
        {Event(TRunEvent::WritingToDisk), {"", "Writing to disk\u2026"}},
        {Event(TRunEvent::RunEnded), {"", "All File Copies Completed"}},
        {with(Event(TRunEvent::RunEnded),
              [](TRunEvent& e) { e.Aborted = true, e.Interrupted = 1, e.NotReached = 5; }),
         {"", "All File Copies Completed \u2014 1 interrupted, 5 not reached (aborted)"}},
        {with(Event(TRunEvent::RunEnded), [](TRunEvent& e) { e.Failed = 2; }),
         {"", "All File Copies Completed \u2014 2 failed"}},
        {with(Event(TRunEvent::PhaseChanged),
              [](TRunEvent& e) {
                  e.Phase = {TRunPhase::Paused, true};
              }),
         {"", "Copy currently Paused."}},
        {with(Event(TRunEvent::PhaseChanged),
              [](TRunEvent& e) {
                  e.Phase = {TRunPhase::Pausing, true};
              }),
         {"", ""}},
        {with(Event(TRunEvent::Exception), [](TRunEvent& e) { e.Text = "bad_alloc"; }),
         {"An Exception occurred, please the email developer the log file [bad_alloc]", ""}},
        {with(Event(TRunEvent::Exception),
              [](TRunEvent& e) { e.Text = "bad_alloc", e.InRun = false; }),
         {"", "Exception Error: bad_alloc"}},
        {Event(TRunEvent::MonitorStarted), {"", "Processing Thread Started"}},
        {Event(TRunEvent::MonitorStopped), {"", "Processing Thread Shutdown"}},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const TEventWords words = WordsOf(cases[i].first);
        EXPECT_EQ(words.Logged, cases[i].second.Logged) << "case " << i;
        EXPECT_EQ(words.Shown, cases[i].second.Shown) << "case " << i;
    }
}

// The core keeps the log whichever face is attached: a failure's words go into it, and to
// the face with the event.
TEST(RunWords, TheLogKeepsWhatTheRunTellsAsAFailure) {
    TTempDir dir;
    SetLogDirectory(dir.Path() + "/");
    struct TFace : IRunEvents {
        std::vector<std::string> Logged, Shown;
        void RunEvent(const TRunEvent&, const TEventWords& words) override {
            Logged.push_back(words.Logged);
            Shown.push_back(words.Shown);
        }
    } face;
    TFaceRelay relay;
    TCoreSinks sinks;
    sinks.RunEvents = &face;
    relay.Set(sinks);
    relay.Tell(Event(TRunEvent::CopyFailed, ENOENT));
    relay.Tell(Event(TRunEvent::FileFinished, ENOENT));
    const std::string line = "Error copying file [/src/f] to [/out/f] " + SysErrorMessage(ENOENT);
    EXPECT_EQ(ReadFile(dir / LogFileName()), line + "\r\n");
    EXPECT_EQ(face.Logged, (std::vector<std::string>{line, ""}));
    EXPECT_EQ(face.Shown, (std::vector<std::string>{"", "Finished Copying file [/src/f]"}));
    SetLogDirectory("");
    relay.Clear();
}

// The figures' words: the rate panel in KiB a minute over whole seconds, and the gauge's
// byte counts, in the user's number format.
TEST(RunWords, RateAndByteCounts) {
    const TNumberFormat comma{",", "."};
    EXPECT_EQ(RateText({10'485'760, 20}, comma), "30,720.00 K/per min");
    EXPECT_EQ(RateText({1536, 0}, comma), "");
    EXPECT_EQ(ByteCountText(1536, 3072, comma), "   1,536 /    3,072");
    // The speed cap, alone and after a rate.
    EXPECT_EQ(SpeedText(int64_t(40) << 20, comma), "40 MiB/s");
    EXPECT_EQ(SpeedText(int64_t(1536) << 10, comma), "1.5 MiB/s");
    EXPECT_EQ(SpeedText(500, comma), "500 B/s");
    EXPECT_EQ(SpeedText(int64_t(2) << 30, comma), "2 GiB/s");
    EXPECT_EQ(RateWithLimitText("30,720.00 K/per min", int64_t(1) << 20, comma),
              "30,720.00 K/per min (at most 1 MiB/s)");
    EXPECT_EQ(RateWithLimitText("", int64_t(5) << 20, comma), "at most 5 MiB/s");
    EXPECT_EQ(RateWithLimitText("30,720.00 K/per min", 0, comma), "30,720.00 K/per min");
    EXPECT_EQ(FormatNumber(1234567.891, 8, 2, comma), "1,234,567.89");
    EXPECT_EQ(FormatNumber(1234.5, 0, 2, {".", ","}), "1.234,50");
    EXPECT_EQ(FormatNumber(1234, 0, 0, {"", "."}), "1234");

    // A locale that groups with nothing (C, POSIX) still groups the rate, with a comma.
    const char* saved = std::getenv("LC_ALL");
    const std::string before = saved ? saved : "";
    ::setenv("LC_ALL", "C", 1);
    const TNumberFormat c = TNumberFormat::FromUserLocale();
    saved ? ::setenv("LC_ALL", before.c_str(), 1) : ::unsetenv("LC_ALL");
    EXPECT_EQ(RateText({41'943'040, 2}, c), "1,228,800.00 K/per min");
}

// The run's figures in the words of the title, the gauge's tooltip and ferrox-run's live
// line: the same share and time left in each, and once every line is done the writing
// that is still to come, with its own time left.
TEST(RunWords, TheRunsFiguresAlikeInEveryFace) {
    const TNumberFormat comma{",", "."};
    TRunFigures copying;
    copying.LinesDone = 123;
    copying.LinesLeft = 880;
    copying.BytesDone = int64_t(3) << 29;
    copying.BytesLeft = int64_t(7) << 29;
    copying.BytesLeftAtLeast = true;
    copying.SecondsLeft = 125;
    copying.Percent = 34;
    TRunFigures writing = copying;
    writing.LinesDone = 1003;
    writing.LinesLeft = 0;
    writing.BytesLeft = 0;
    writing.BytesLeftAtLeast = false;
    writing.BytesUnwritten = int64_t(120) << 20;
    writing.SecondsLeft = 4.2;
    writing.Percent = 97;
    struct TCase {
        const TRunFigures& Figures;
        const char *Title, *Live, *Details;
    };
    for (const TCase& c : {
             TCase{copying, "34 % \u2014 2 min left \u2014 Ferrox",
                   "34 %, line 124 of 1,003, 1.5 GiB of at least 5.0 GiB, about 2 min left",
                   "Lines: 123 done, 880 left\nBytes: 1.5 GiB done, at least 3.5 GiB left"},
             TCase{writing, "97 % \u2014 4 s left \u2014 Ferrox",
                   "97 %, writing 120 MiB to disk, about 4 s left",
                   "Lines: 1,003 done, 0 left\nBytes: 1.5 GiB done, 0 B left\n"
                   "Not on the disk yet: 120 MiB"},
         }) {
        EXPECT_EQ(RunTitle(c.Figures), c.Title);
        EXPECT_EQ(RunLiveLine(c.Figures, comma), c.Live);
        EXPECT_EQ(RunDetails(c.Figures, comma), c.Details);
    }
}
