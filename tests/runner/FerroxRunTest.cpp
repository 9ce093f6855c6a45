#include "diag/ErrorLog.h"
#include "support/SavedQueue.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace ferrox::test;

extern char** environ;

namespace {

struct TRunnerTest : ::testing::Test {
    TTempDir dir;
    std::string P(const std::string& name) const { return dir / name; }

    // The program run: the build's, or a copy in the temp dir that reads the QOPTIONS.INI
    // beside it.
    std::string exe = FERROX_RUN_PATH;
    void RunWithOptions(const std::string& text) {
        if (exe == FERROX_RUN_PATH) {
            MakeDir(P("bin"));
            exe = P("bin/ferrox-run");
            ASSERT_EQ(RunShell("ln '" FERROX_RUN_PATH "' '" + exe + "' 2>/dev/null || cp '" +
                               FERROX_RUN_PATH "' '" + exe + "'"),
                      0);
        }
        WriteFile(P("bin/QOPTIONS.INI"), "[Options]\r\n" + text);
    }

    // Runs ferrox-run in the temp dir with a private trash; returns its exit status.
    int Run(const std::string& args, std::string* out = nullptr, const std::string& setup = "") {
        std::string cmd = "cd '" + dir.Path() + "' && " + setup + "XDG_DATA_HOME='" + P("xdg") +
                          "' '" + exe + "' " + args + " >'" + P("out.txt") + "' 2>'" +
                          P("err.txt") + "' </dev/null";
        int rc = RunShell(cmd);
        if (out)
            *out = ReadFile(P("out.txt")) + ReadFile(P("err.txt"));
        return rc;
    }
    // Starts `sh -c "PREFIX exec ferrox-run q.ini"` in the temp dir with stdout on `out` and
    // stderr on `err` (-1: into err.txt); its pid, -1 when it could not start.
    pid_t Start(int out, int err = -1, const std::string& prefix = "") {
        std::string sh = "/bin/sh", c = "-c", script = prefix + "exec '" FERROX_RUN_PATH "' q.ini",
                    errFile = P("err.txt");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out, 1);
        if (err >= 0)
            posix_spawn_file_actions_adddup2(&actions, err, 2);
        else
            posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addchdir_np(&actions, dir.Path().c_str());
        char* argv[] = {sh.data(), c.data(), script.data(), nullptr};
        pid_t pid = -1;
        if (posix_spawn(&pid, sh.c_str(), &actions, nullptr, argv, environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    std::string Stdout() const { return ReadFile(P("out.txt")); }
    std::string Stderr() const { return ReadFile(P("err.txt")); }
    void WriteQueue(const std::string& name, const std::vector<std::string>& lines) {
        std::string text = "[Queue]\r\n";
        for (const auto& l : lines)
            text += l + "\r\n";
        WriteFile(P(name), text);
    }
};

} // namespace

TEST_F(TRunnerTest, CopiesASavedQueueAndMarksTheLinesDone) {
    MakeDir(P("src"));
    MakeDir(P("src/sub"));
    WriteFile(P("src/a.txt"), "a");
    WriteFile(P("src/sub/b.txt"), "b");
    WriteFile(P("single.txt"), "single");
    MakeDir(P("out"));
    WriteQueue("q.ini",
               {"FROM-1=D:" + P("src"), "TO-1=" + P("out"), "DONE-1=0", "MOVE-1=0",
                "FROM-2=F:" + P("single.txt"), "TO-2=" + P("out"), "DONE-2=0", "MOVE-2=1"});
    std::string out;
    EXPECT_EQ(Run("q.ini", &out), 0) << out;
    EXPECT_EQ(RunShell("diff -r '" + P("src") + "' '" + P("out/src") + "'"), 0);
    EXPECT_EQ(ReadFile(P("out/single.txt")), "single");
    EXPECT_FALSE(Exists(P("single.txt"))); // moved, into the private trash
    EXPECT_TRUE(Exists(P("xdg/Trash/files/single.txt")));
    EXPECT_NE(out.find("Starting Copy\n"), std::string::npos);
    EXPECT_NE(out.find("All File Copies Completed\n"), std::string::npos);
    EXPECT_NE(out.find("lines copied, 0 failed"), std::string::npos);

    // Saved back: the directory line, its entries and the file line, all done.
    std::string saved = ReadFile(P("q.ini"));
    EXPECT_NE(saved.find("FROM-1=D:" + P("src") + "\r\nTO-1=" + P("out") + "\r\nDONE-1=1\r\n"),
              std::string::npos);
    EXPECT_EQ(saved.find("DONE-1=0"), std::string::npos);
    EXPECT_NE(saved.find("FROM-5="), std::string::npos);
    EXPECT_EQ(saved.find("=0\r\nMOVE"), std::string::npos) << saved; // no line left undone

    // A second run has nothing left to do and still succeeds.
    EXPECT_EQ(Run("-q q.ini", &out), 0);
    EXPECT_NE(out.find("0 lines copied, 0 failed"), std::string::npos);
    EXPECT_EQ(out.find("Starting Copy"), std::string::npos); // quiet
}

// Each policy for targets that exist, as the flag names it, on the files a directory line
// expands into: one whose target is older, one whose target is later, one whose target is
// later but of another size, and one without a target.
TEST_F(TRunnerTest, ExistingTargetsAsTheFlagSays) {
    struct TCase {
        const char* Flags;
        const char* Older;
        const char* Later;
        const char* Resized;
        bool KeptBeside; // the copies went beside the kept targets
        int Skipped;
    };
    const char* New = "new";
    for (TCase c : {TCase{"", New, New, New, false, 0},
                    TCase{"--existing=skip", "old", "old", "old longer", false, 3},
                    // A longer source is no newer: the later target stays.
                    TCase{"--existing=newer", New, "old", "old longer", false, 2},
                    TCase{"--existing=keep-both --verify", "old", "old", "old longer", true, 0}}) {
        SCOPED_TRACE(c.Flags);
        RunShell("rm -rf '" + P("src") + "' '" + P("out") + "'");
        for (const char* dir : {"src", "out", "out/src"})
            MakeDir(P(dir));
        for (const char* name : {"older", "later", "resized", "fresh"})
            WriteFile(P("src/") + name, New);
        WriteFile(P("out/src/older"), "old");
        WriteFile(P("out/src/later"), "old");
        WriteFile(P("out/src/resized"), "old longer");
        for (auto [name, seconds] :
             {std::pair{"older", 946684800L}, {"later", 4070908800L}, {"resized", 4070908800L}}) {
            struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, P(std::string("out/src/") + name).c_str(), times, 0),
                      0);
        }
        WriteQueue("q.ini", {"FROM-1=D:" + P("src"), "TO-1=" + P("out"), "DONE-1=0", "MOVE-1=0"});
        std::string out;
        EXPECT_EQ(Run(std::string(c.Flags) + " q.ini", &out), 0) << out;
        EXPECT_EQ(ReadFile(P("out/src/older")), c.Older);
        EXPECT_EQ(ReadFile(P("out/src/later")), c.Later);
        EXPECT_EQ(ReadFile(P("out/src/resized")), c.Resized);
        EXPECT_EQ(ReadFile(P("out/src/fresh")), New);
        for (const char* name : {"older (2)", "later (2)", "resized (2)"})
            EXPECT_EQ(Exists(P("out/src/") + name) ? ReadFile(P("out/src/") + name) : "",
                      c.KeptBeside ? New : "")
                << name;
        EXPECT_EQ(Exists(P("out/src/fresh (2)")), false);
        const std::string skipped =
            c.Skipped ? "(" + std::to_string(c.Skipped) + " skipped, target exists)" : "skipped";
        EXPECT_EQ(out.find(skipped) != std::string::npos, c.Skipped > 0) << out;
        EXPECT_EQ(out.find("Skipped, target exists [" + P("out/src/later") + "]") !=
                      std::string::npos,
                  c.Later == std::string("old") && !c.KeptBeside)
            << out;
    }
}

TEST_F(TRunnerTest, ExitCodesForFailuresUsageAndUnreadableQueues) {
    WriteFile(P("a.txt"), "a");
    WriteQueue("fail.ini",
               {"FROM-1=F:" + P("a.txt"), "TO-1=" + P("missing/deeper"), "DONE-1=0", "MOVE-1=1"});
    std::string out;
    EXPECT_EQ(Run("-q fail.ini", &out), 1);
    // Told once, as a failed line that names what is missing; the log keeps the whole story.
    EXPECT_NE(
        out.find("ferrox-run: failed: " + P("missing/deeper") + ": No such file or directory\n"),
        std::string::npos)
        << out;
    EXPECT_EQ(out.find("Error copying file ["), std::string::npos) << out;
    EXPECT_EQ(Run("fail.ini", &out), 1);
    EXPECT_EQ(Stdout().find("Finished Copying file"), std::string::npos) << "it did not";
    EXPECT_NE(
        ReadFile(P(ferrox::LogFileName())).find("Error copying file [" + P("a.txt") + "] to ["),
        std::string::npos);
    EXPECT_NE(out.find("0 lines copied, 1 failed"), std::string::npos) << out;
    EXPECT_TRUE(Exists(P("a.txt")));
    EXPECT_NE(ReadFile(P("fail.ini")).find("DONE-1=0"), std::string::npos);

    EXPECT_EQ(Run("--help", &out), 0);
    EXPECT_NE(out.find("usage: ferrox-run"), std::string::npos);
    // Every option's words start in one column; an option too long for it stands alone.
    for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = out.substr(at, end - at);
        if (line.rfind("  -", 0) != 0 && line.rfind("      --", 0) != 0)
            continue;
        if (line.find(' ', line.find('-')) == std::string::npos)
            continue; // alone on its line
        EXPECT_TRUE(line.size() > 16 && line[15] == ' ' && line[16] != ' ') << line;
    }
    EXPECT_EQ(Run("--version", &out), 0);
    EXPECT_EQ(out, "ferrox-run " FERROX_VERSION "\n");
    EXPECT_EQ(Run("--bogus"), 2);
    EXPECT_EQ(Run("no-such-queue.ini", &out), 2);
    EXPECT_NE(out.find("cannot read queue file no-such-queue.ini: No such file or directory"),
              std::string::npos);
    // A directory is no queue file: the load's own reason is told.
    EXPECT_EQ(Run("'" + dir.Path() + "'", &out), 2);
    EXPECT_NE(
        out.find("ferrox-run: Exception Error: Unable to read " + dir.Path() + ": Is a directory"),
        std::string::npos)
        << out;
}

TEST_F(TRunnerTest, SignalAbortsTheFileInProgressAndSavesTheQueue) {
    // Large enough that the signal arrives while it is still being copied.
    ASSERT_EQ(RunShell("head -c 1073741824 /dev/zero | tr '\\0' 'x' > '" + P("big.bin") + "'"), 0);
    MakeDir(P("out"));
    WriteFile(P("out/big.bin"), "old target");
    WriteQueue("q.ini", {"FROM-1=F:" + P("big.bin"), "TO-1=" + P("out"), "DONE-1=0", "MOVE-1=1"});

    pid_t pid;
    std::string exe = FERROX_RUN_PATH, queue = P("q.ini"), log = P("out.txt");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string errors = P("err.txt");
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addchdir_np(&actions, dir.Path().c_str());
    char* argv[] = {exe.data(), queue.data(), nullptr};
    ASSERT_EQ(posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);

    // Wait until the copy has started: its partial shows up beside the target, and has
    // data in it.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool started = false;
    const std::string hasData = "for f in /proc/" + std::to_string(pid) +
                                "/fd/*; do readlink $f | grep -qF '" + P("out") +
                                "/.ferrox-' && [ $(stat -L -c %s $f) -gt 0 ] && exit 0; done; "
                                "exit 1";
    while (!started && std::chrono::steady_clock::now() < deadline) {
        started = RunShell(hasData) == 0;
        if (!started)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ::kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(started);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(ReadFile(P("out/big.bin")), "old target");
    EXPECT_EQ(RunShell("ls -a '" + P("out") + "' | grep -q ferrox"), 1); // no temporary left
    EXPECT_TRUE(Exists(P("big.bin")));
    EXPECT_NE(ReadFile(P("q.ini")).find("DONE-1=0"), std::string::npos);
    // What the user asked for is no failure: the line is told as interrupted, with how far
    // it got, and counted apart.
    const std::string out = ReadFile(log);
    EXPECT_EQ(Stderr(), "");
    EXPECT_EQ(out.find("Finished Copying file"), std::string::npos) << out;
    EXPECT_NE(out.find("All File Copies Completed \u2014 1 interrupted (aborted)\n"),
              std::string::npos)
        << out;
    const std::string told = "ferrox-run: interrupted: " + P("big.bin") + " (";
    const size_t at = out.find(told);
    ASSERT_NE(at, std::string::npos) << out;
    // "N of M bytes written, not kept)", the numbers as the locale writes them.
    const std::string rest = out.substr(at + told.size(), out.find('\n', at) - at - told.size());
    const size_t of = rest.find(" of "), end = rest.find(" bytes written, not kept)");
    ASSERT_TRUE(of != std::string::npos && end != std::string::npos) << rest;
    auto number = [](std::string text) {
        std::erase_if(text, [](char c) { return c < '0' || c > '9'; });
        return text.empty() ? -1ll : std::stoll(text);
    };
    EXPECT_GT(number(rest.substr(0, of)), 0) << "the file was stopped while being written";
    EXPECT_EQ(number(rest.substr(of + 4, end - of - 4)), 1ll << 30);
    EXPECT_NE(out.find(" 0 failed, 1 interrupted, 0 not reached, 0 bytes in "), std::string::npos)
        << out;
    EXPECT_NE(out.find(" bytes of interrupted lines written and not kept, aborted\n"),
              std::string::npos)
        << out;
}

namespace {

// A value that means nothing, in QOPTIONS.INI or in a flag, stops ferrox-run before it
// copies or moves anything, and stderr says what to correct, quiet or not; a flag that
// decides the option for the call lets it run. The words users write for a switch are
// understood.
TEST_F(TRunnerTest, ValuesThatMeanNothingStopTheRunBeforeItTouchesAFile) {
    struct TCase {
        const char* Options; // QOPTIONS.INI's lines; "dir": a directory under its name
        const char* Flags;
        int Status;
        const char* Told; // on stderr, with {} for the options file's directory
        const char* Target;
    };
    const std::vector<TCase> cases = {
        {"ExistingTargets=KeepBoht", "", 2,
         "ferrox-run: ExistingTargets=KeepBoht in {}QOPTIONS.INI means nothing: it takes "
         "Overwrite, Skip, Newer or KeepBoth (or give --existing)\nferrox-run: nothing was "
         "copied\n",
         "old"},
        {"VerifyCopies=yes please", "-q", 2,
         "ferrox-run: VerifyCopies=yes please in {}QOPTIONS.INI means nothing: it takes 1 or "
         "0, yes or no, true or false, on or off (or give --verify)\n",
         "old"},
        {"DeleteToRecycle=nope", "-q", 2,
         "DeleteToRecycle=nope in {}QOPTIONS.INI means nothing: it takes 1 or 0, yes or no, "
         "true or false, on or off\n",
         "old"},
        {"dir", "", 2, "ferrox-run: Unable to read {}QOPTIONS.INI: Is a directory; nothing", "old"},
        {"", "--existing=keepboht", 2,
         "--existing takes overwrite, skip, newer or keep-both, not keepboht", "old"},
        {"", "--workers=x", 2, "--workers takes auto or 1 to 16, not x", "old"},
        {"", "--workers=0", 2, "--workers takes auto or 1 to 16, not 0", "old"},
        {"", "--limit-rate=1.5M", 2,
         "--limit-rate takes bytes a second, with K, M or G (0: no limit), not 1.5M", "old"},
        {"SpeedLimit=fast", "", 2,
         "ferrox-run: SpeedLimit=fast in {}QOPTIONS.INI means nothing: it takes bytes a "
         "second, with K, M or G (0: no limit) (or give --limit-rate)\n",
         "old"},
        {"SpeedLimit=fast", "--limit-rate=64M", 0, "", "new"},
        {"ExistingTargets=KeepBoht\r\nVerifyCopies=maybe\r\nWorkers=x",
         "--existing=skip --verify --workers=2", 0, "", "old"},
        {"ExistingTargets=overwrite\r\nVerifyCopies=Yes\r\nDeleteToRecycle=OFF", "", 0, "", "new"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.Options) + " " + c.Flags);
        RemoveTree(P("src"));
        RemoveTree(P("out"));
        RemoveTree(P("xdg"));
        RemoveTree(P("bin/QOPTIONS.INI"));
        MakeDir(P("src"));
        MakeDir(P("out"));
        WriteFile(P("src/a.txt"), "new");
        WriteFile(P("out/a.txt"), "old");
        WriteQueue("q.ini",
                   {"FROM-1=F:" + P("src/a.txt"), "TO-1=" + P("out"), "DONE-1=0", "MOVE-1=1"});
        const std::string queue = ReadFile(P("q.ini"));
        RunWithOptions(c.Options == std::string("dir") ? "" : c.Options);
        if (c.Options == std::string("dir")) {
            RemoveTree(P("bin/QOPTIONS.INI"));
            MakeDir(P("bin/QOPTIONS.INI"));
        }
        EXPECT_EQ(Run(std::string(c.Flags) + " q.ini"), c.Status) << Stdout() << Stderr();
        std::string told = c.Told;
        if (size_t at = told.find("{}"); at != std::string::npos)
            told.replace(at, 2, P("bin/"));
        EXPECT_NE(Stderr().find(told), std::string::npos) << Stderr();
        EXPECT_EQ(ReadFile(P("out/a.txt")), c.Target);
        if (c.Status == 2) {
            EXPECT_EQ(Stdout(), "");
            EXPECT_TRUE(Exists(P("src/a.txt")));
            EXPECT_EQ(ReadFile(P("q.ini")), queue) << "nothing was copied, nothing saved";
        }
    }
    // "OFF" meant off: the moved source went for good, not into the trash.
    EXPECT_FALSE(Exists(P("src/a.txt")));
    EXPECT_FALSE(Exists(P("xdg/Trash/files/a.txt")));
}

TEST_F(TRunnerTest, FailuresAndUsageErrorsGoToStderrAndNameWhatFailed) {
    WriteFile(P("a.txt"), "a");
    WriteFile(P("not-a-dir"), "x");
    MakeDir(P("out"));
    WriteQueue("q.ini", {"FROM-1=F:" + P("a.txt"), "TO-1=" + P("out"), "FROM-2=D:" + P("not-a-dir"),
                         "TO-2=" + P("out")});
    EXPECT_EQ(Run("-q q.ini"), 1);
    // The directory line's own message names no path; the run's failure event does.
    EXPECT_NE(Stderr().find("ferrox-run: failed: " + P("not-a-dir") + ": Not a directory\n"),
              std::string::npos)
        << Stderr();
    EXPECT_EQ(Stderr().find("ferrox-run: failed: " + P("a.txt")), std::string::npos);
    EXPECT_EQ(Stdout().find("Error"), std::string::npos) << Stdout();
    EXPECT_NE(Stdout().find("1 lines copied, 1 failed"), std::string::npos) << Stdout();

    EXPECT_EQ(Run("''"), 2);
    EXPECT_NE(Stderr().find("the queue file name is empty"), std::string::npos) << Stderr();
    EXPECT_EQ(Run("q.ini -- other.ini"), 2);
    EXPECT_NE(Stderr().find("one queue file at a time, not both q.ini and other.ini"),
              std::string::npos)
        << Stderr();
    EXPECT_EQ(Run("--bogus"), 2);
    EXPECT_NE(Stderr().find("unknown option --bogus"), std::string::npos);
    EXPECT_EQ(Stdout(), "");
}

TEST_F(TRunnerTest, AFileThatIsNoQueueIsNeitherRunNorWritten) {
    const std::string settings = "[settings]\nimportant=1\n";
    WriteFile(P("other.ini"), settings);
    WriteFile(P("empty.ini"), "");
    EXPECT_EQ(Run("other.ini"), 2);
    EXPECT_NE(Stderr().find("Not a queue file, it has no [Queue] section [other.ini]"),
              std::string::npos)
        << Stderr();
    EXPECT_EQ(Run("empty.ini"), 2);
    EXPECT_EQ(ReadFile(P("other.ini")), settings);
    EXPECT_EQ(ReadFile(P("empty.ini")), "");
    EXPECT_FALSE(Exists(P("other.BAK")));
    EXPECT_FALSE(Exists(P("BAK")));
}

TEST_F(TRunnerTest, AQueueInUseByAnotherFerroxIsLeftAlone) {
    WriteFile(P("a.txt"), "a");
    MakeDir(P("out"));
    WriteQueue("q.ini", {"FROM-1=F:" + P("a.txt"), "TO-1=" + P("out")});
    const std::string before = ReadFile(P("q.ini"));
    int held = ::open(P("q.ini").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0); // as a running ferrox-run or window holds it
    EXPECT_EQ(Run("q.ini"), 2);
    EXPECT_NE(Stderr().find("Queue file in use by another Ferrox [q.ini]"), std::string::npos)
        << Stderr();
    EXPECT_FALSE(Exists(P("out/a.txt")));
    EXPECT_EQ(ReadFile(P("q.ini")), before);
    ::close(held);
    EXPECT_EQ(Run("q.ini"), 0);
    EXPECT_EQ(ReadFile(P("out/a.txt")), "a");
}

TEST_F(TRunnerTest, AClosedPipeNeitherKillsTheRunNorStopsTheSave) {
    WriteFile(P("a.txt"), "a");
    MakeDir(P("out"));
    WriteQueue("q.ini", {"FROM-1=F:" + P("a.txt"), "TO-1=" + P("out")});
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]); // the reader is gone before the first line is written
    const pid_t pid = Start(fds[1], fds[1]);
    ::close(fds[1]);
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadFile(P("out/a.txt")), "a");
    EXPECT_NE(ReadFile(P("q.ini")).find("DONE-1=1"), std::string::npos);
}

TEST_F(TRunnerTest, AFinalSaveThatFailsExitsOneWithTheMessage) {
    // Long names make the queue file larger than the file size limit below, while every
    // file copied stays far under it.
    MakeDir(P("out"));
    std::vector<std::string> lines;
    for (int i = 0; i < 40; ++i) {
        std::string name = P(std::string(200, 'a' + i % 26) + std::to_string(i));
        WriteFile(name, "x");
        lines.push_back("FROM-" + std::to_string(i + 1) + "=F:" + name);
        lines.push_back("TO-" + std::to_string(i + 1) + "=" + P("out"));
    }
    WriteQueue("q.ini", lines);
    const std::string before = ReadFile(P("q.ini"));
    ASSERT_GT(before.size(), 8192u);
    // 8 blocks: 4 KiB in dash's unit, 8 KiB in bash's; the copies need a byte each.
    EXPECT_EQ(Run("-q q.ini", nullptr, "ulimit -f 8 && "), 1);
    EXPECT_NE(Stderr().find("Exception Error: Unable to write to q.ini: File too large\n"),
              std::string::npos)
        << Stderr();
    EXPECT_NE(Stdout().find("40 lines copied, 0 failed"), std::string::npos) << Stdout();
    EXPECT_NE(Stdout().find("queue file not saved"), std::string::npos);
    EXPECT_EQ(ReadFile(P("q.ini")), before);
    EXPECT_EQ(ReadFile(P("out/" + std::string(200, 'n') + "39")), "x");
}

TEST_F(TRunnerTest, AQueueFileReplacedDuringTheRunIsKeptAndTheRunsQueueGoesBesideIt) {
    // The run itself puts the user's new queue over the queue file, as mv would.
    MakeDir(P("user"));
    WriteQueue("user/q.ini", {"FROM-1=F:/the user's new queue"});
    const std::string users = ReadFile(P("user/q.ini"));
    WriteQueue("q.ini", {"FROM-1=F:" + P("user/q.ini"), "TO-1=" + dir.Path()});
    EXPECT_EQ(Run("-q q.ini"), 1);
    EXPECT_EQ(ReadFile(P("q.ini")), users);
    EXPECT_EQ(ReadSavedQueue(P("q-1.ini")), (TSaved{{"F:" + P("user/q.ini"), dir.Path(), true}}));
    EXPECT_NE(Stderr().find("ferrox-run: queue saved as q-1.ini: q.ini was changed by another "
                            "program\n"),
              std::string::npos)
        << Stderr();
}

// The run is held without sleeping: its status lines go into a pipe of one page that the
// test stops reading once the second line has begun, so the run cannot end before the
// signal comes.
TEST_F(TRunnerTest, AClosedTerminalOrSigtermAbortsAndSavesUnlessTheSignalWasIgnored) {
    constexpr size_t files = 100;
    MakeDir(P("src"));
    std::vector<std::string> lines, sources;
    for (size_t i = 0; i < files; ++i) {
        sources.push_back(P("src/" + std::string(60, 'f') + std::to_string(i)));
        WriteFile(sources.back(), "x");
        lines.push_back("FROM-" + std::to_string(i + 1) + "=F:" + sources.back());
        lines.push_back("TO-" + std::to_string(i + 1) + "=" + P("out"));
    }
    const struct {
        int Signal;
        bool IgnoredAtStart; // nohup
    } cases[] = {{SIGHUP, false}, {SIGTERM, false}, {SIGHUP, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.Signal) + (c.IgnoredAtStart ? " ignored" : ""));
        RemoveTree(P("out"));
        MakeDir(P("out"));
        WriteQueue("q.ini", lines);
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        ASSERT_GE(::fcntl(fds[1], F_SETPIPE_SZ, 4096), 0);
        const pid_t pid = Start(fds[1], -1, c.IgnoredAtStart ? "trap '' HUP; " : "");
        ::close(fds[1]);
        ASSERT_GT(pid, 0);

        std::string out;
        char buf[512];
        ssize_t n = 0;
        const std::string second = "\n" + sources[1] + "\n"; // the first line is done
        while (out.find(second) == std::string::npos && (n = ::read(fds[0], buf, sizeof buf)) > 0)
            out.append(buf, size_t(n));
        EXPECT_NE(out.find(second), std::string::npos) << out;
        ::kill(pid, c.Signal);
        while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
            out.append(buf, size_t(n));
        ::close(fds[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);

        const TSaved saved = ReadSavedQueue(P("q.ini"));
        ASSERT_EQ(saved.size(), files);
        EXPECT_TRUE(saved.front().Done) << "a finished line is saved as done";
        EXPECT_EQ(saved.back().Done, c.IgnoredAtStart);
        EXPECT_EQ(WEXITSTATUS(status), c.IgnoredAtStart ? 0 : 1) << Stderr();
        EXPECT_EQ(out.find(", aborted") != std::string::npos, !c.IgnoredAtStart) << out;
    }
}

} // namespace
