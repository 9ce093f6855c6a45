#include "persist/Options.h"
#include "diag/ErrorLog.h"
#include "platform/SettingsDir.h"
#include "platform/SysError.h"

#include "diag/Trace.h"
#include "support/StatusRecorder.h"
#include "support/TestSupport.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace ferrox;
using namespace ferrox::test;

namespace {

// Sets an environment variable for the life of the scope.
class TEnv {
public:
    TEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        Set(value);
    }
    ~TEnv() { Set(old_); }
    TEnv(const TEnv&) = delete;
    TEnv& operator=(const TEnv&) = delete;

private:
    void Set(const std::optional<std::string>& value) {
        if (value)
            ::setenv(name_, value->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    const char* name_;
    std::optional<std::string> old_;
};

class OptionsTest : public ::testing::Test {
protected:
    OptionsTest() { SetSettingsDirForTesting(dir.Path()); }
    void WriteOptions(const std::string& text) { WriteFile(dir / "QOPTIONS.INI", text); }
    TTempDir dir;
    TStatusRecorder status;
};

TEST_F(OptionsTest, NoFileMeansBothOn) {
    const TOptions options = LoadOptions(status.Line);
    EXPECT_TRUE(options.DeleteToRecycle);
    EXPECT_TRUE(options.DisplayProgressBar);
    EXPECT_EQ(status.Texts(), std::vector<std::string>{});
}

// Every switch reads the words users write; the integers and the defaults a stored file
// relies on stay as they were.
TEST_F(OptionsTest, SwitchesAsTheUserMayWriteThem) {
    struct Case {
        const char* value;
        bool expected;
    };
    for (Case c : {Case{"0", false}, Case{"1", true}, Case{"2", true}, Case{"0x0", false},
                   Case{"$1F", true}, Case{" 0 ", false}, Case{"", true}, Case{"yes", true},
                   Case{"No", false}, Case{"TRUE", true}, Case{"false", false}, Case{"On", true},
                   Case{"off", false}, Case{"\"no\"", false}}) {
        SCOPED_TRACE(std::string("value \"") + c.value + "\"");
        WriteOptions("[options]\r\ndeletetorecycle=" + std::string(c.value) +
                     "\r\nDisplayProgressBar=" + c.value + "\r\nVerifyCopies=" + c.value + "\r\n");
        const TOptions options = LoadOptions(status.Line);
        EXPECT_EQ(options.DeleteToRecycle, c.expected);
        EXPECT_EQ(options.DisplayProgressBar, c.expected);
        // An empty value is a missing one: the default, off.
        EXPECT_EQ(options.VerifyCopies, *c.value ? c.expected : false);
        EXPECT_TRUE(options.Unknown.empty());
    }
    WriteOptions(
        "[Options]\nDeleteToRecycle=0\nDisplayProgressBar=1\n[Other]\nDisplayProgressBar=0");
    const TOptions options = LoadOptions(status.Line);
    EXPECT_FALSE(options.DeleteToRecycle);
    EXPECT_TRUE(options.DisplayProgressBar);
}

// A word that means nothing never makes a run less safe: where the key decides what
// happens to files the safest reading is used, and the error log and the status line (as
// a failure, which ferrox-run prints on stderr even when quiet) say so; elsewhere the
// default is used and the status line says so. A key a face decides is neither read nor
// complained of.
// A rate as a user writes it in QOPTIONS.INI or on ferrox-run's command line; what
// cannot be read as one is refused, never read as some other rate.
TEST(SpeedLimitByName, RatesAsUsersWriteThem) {
    const std::pair<const char*, std::optional<int64_t>> cases[] = {
        {"0", 0},
        {"1000", 1000},
        {"40M", int64_t(40) << 20},
        {" 512 k ", 512 << 10},
        {"2g", int64_t(2) << 30},
        {"3MiB", int64_t(3) << 20},
        {"7Mi", int64_t(7) << 20},
        {"8589934591G", int64_t(8589934591) << 30},
        {"8589934592G", std::nullopt}, // beyond 63 bits
        {"99999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"M", std::nullopt},
        {"-1", std::nullopt},
        {"1.5M", std::nullopt},
        {"10MB", std::nullopt},
        {"10T", std::nullopt},
        {"fast", std::nullopt},
    };
    for (const auto& [text, rate] : cases)
        EXPECT_EQ(SpeedLimitByName(text), rate) << '"' << text << '"';
}

// The file's cap, a flag's in its place, and one that means nothing: no cap, and said.
TEST_F(OptionsTest, SpeedLimitFromTheFileOrAFlag) {
    WriteOptions("[Options]\nSpeedLimit=40M\n");
    EXPECT_EQ(ReadOptions().SpeedLimit, int64_t(40) << 20);
    TOptionOverrides flag;
    flag.SpeedLimit = 0;
    EXPECT_EQ(ReadOptions(flag).SpeedLimit, 0);
    WriteOptions("[Options]\nSpeedLimit=fast\n");
    const TOptions options = ReadOptions();
    EXPECT_EQ(options.SpeedLimit, 0);
    ASSERT_EQ(options.Unknown.size(), 1u);
    EXPECT_EQ(options.Unknown[0].Key, "SpeedLimit");
    EXPECT_FALSE(options.Unknown[0].Safety);
}

TEST_F(OptionsTest, WordsThatMeanNothingNeverWeakenARun) {
    struct TCase {
        const char* Text;
        TOptionOverrides Overrides;
        TExistingTargets Existing;
        bool Verify, Trash, Bar;
        int Workers;
        const char* Status; // told, if anything
        bool Logged;        // as a failure, in the log
    };
    using E = TExistingTargets;
    for (const TCase& c : std::vector<TCase>{
             {"ExistingTargets=Skip\nVerifyCopies=1\nWorkers=4",
              {},
              E::Skip,
              true,
              true,
              true,
              4,
              nullptr,
              false},
             {"existingtargets=keep-both\nWorkers=auto",
              {},
              E::KeepBoth,
              false,
              true,
              true,
              0,
              nullptr,
              false},
             {"ExistingTargets=NEWER", {}, E::Newer, false, true, true, 0, nullptr, false},
             {"ExistingTargets=KeepBoht",
              {},
              E::Skip,
              false,
              true,
              true,
              0,
              "Unknown ExistingTargets=KeepBoht in QOPTIONS.INI, Skip is used (the safest)",
              true},
             {"VerifyCopies=yes please",
              {},
              E::Overwrite,
              true,
              true,
              true,
              0,
              "Unknown VerifyCopies=yes please in QOPTIONS.INI, 1 is used (the safest)",
              true},
             {"DeleteToRecycle=nein",
              {},
              E::Overwrite,
              false,
              true,
              true,
              0,
              "Unknown DeleteToRecycle=nein in QOPTIONS.INI, 1 is used (the safest)",
              true},
             {"DisplayProgressBar=maybe",
              {},
              E::Overwrite,
              false,
              true,
              true,
              0,
              "Unknown DisplayProgressBar=maybe in QOPTIONS.INI, 1 is used",
              false},
             {"Workers=99",
              {},
              E::Overwrite,
              false,
              true,
              true,
              0,
              "Unknown Workers=99 in QOPTIONS.INI, auto is used",
              false},
             {"ExistingTargets=KeepBoht\nVerifyCopies=maybe\nWorkers=x",
              {E::Overwrite, false, 2},
              E::Overwrite,
              false,
              true,
              true,
              2,
              nullptr,
              false},
         }) {
        SCOPED_TRACE(c.Text);
        TWorkingDirectory cwd(dir.Path()); // where the log goes
        ::unlink(LogFileName().c_str());
        WriteOptions(std::string("[Options]\n") + c.Text + "\n");
        status.Clear();
        const TOptions options = LoadOptions(status.Line, c.Overrides);
        EXPECT_EQ(status.Texts(), std::vector<std::string>{}) << "told before the load";
        TellUnknownOptions(status.Line, options);
        EXPECT_EQ(options.ExistingTargets, c.Existing);
        EXPECT_EQ(options.VerifyCopies, c.Verify);
        EXPECT_EQ(options.DeleteToRecycle, c.Trash);
        EXPECT_EQ(options.DisplayProgressBar, c.Bar);
        EXPECT_EQ(options.Workers, c.Workers);
        EXPECT_EQ(status.Texts(),
                  c.Status ? std::vector<std::string>{c.Status} : std::vector<std::string>{});
        if (c.Status) {
            EXPECT_EQ(status.Kinds().front(), c.Logged ? TStatusKind::Failure : TStatusKind::Info);
        }
        EXPECT_EQ(Exists(LogFileName()) ? ReadFile(LogFileName()) : "",
                  c.Logged ? std::string(c.Status) + "\r\n" : "");
    }
}

TEST_F(OptionsTest, TheFileBesideTheProgramIsReadFromAnyWorkingDirectory) {
    WriteOptions("[Options]\r\nDeleteToRecycle=0\r\n");
    TTempDir elsewhere;
    WriteFile(elsewhere / "QOPTIONS.INI",
              "[Options]\r\nDeleteToRecycle=1\r\nDisplayProgressBar=0\r\n");
    TWorkingDirectory cwd(elsewhere.Path());
    const TOptions options = LoadOptions(status.Line);
    EXPECT_FALSE(options.DeleteToRecycle);
    EXPECT_TRUE(options.DisplayProgressBar);
}

TEST_F(OptionsTest, AFileThatCannotBeReadGivesTheSafestChoicesAndSaysWhy) {
    const std::string name = dir / "QOPTIONS.INI";
    TraceCreate();
    const auto before = TraceEntries();
    auto loadExpecting = [&](const std::string& reason) {
        status.Clear();
        const TOptions options = LoadOptions(status.Line);
        // What the file may have asked for is not weakened: the safest choices.
        EXPECT_TRUE(options.DeleteToRecycle) << reason;
        EXPECT_TRUE(options.DisplayProgressBar) << reason;
        EXPECT_EQ(options.ExistingTargets, TExistingTargets::Skip) << reason;
        EXPECT_TRUE(options.VerifyCopies) << reason;
        EXPECT_EQ(status.Texts(), std::vector<std::string>{"Exception Error: Unable to read " +
                                                           name + ": " + reason});
    };
    // A fifo would block the start-up for ever if it were opened for reading.
    ASSERT_EQ(::mkfifo(name.c_str(), 0666), 0);
    loadExpecting(SysErrorMessage(errSpecialFile));
    EXPECT_EQ(TraceEntries(), before);
    ::unlink(name.c_str());

    // No permission: root reads anything, so an ordinary user's child process tries.
    WriteOptions("[Options]\r\nDeleteToRecycle=0\r\n");
    ASSERT_EQ(::chmod(name.c_str(), 0), 0);
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(77);
        const TOptions options = LoadOptions(status.Line);
        ::_exit(options.DeleteToRecycle && status.Last() == "Exception Error: Unable to read " +
                                                                name + ": " +
                                                                SysErrorMessage(EACCES)
                    ? 0
                    : 1);
    }
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    ASSERT_NE(WEXITSTATUS(st), 77) << "cannot take an ordinary user's rights";
    EXPECT_EQ(WEXITSTATUS(st), 0);
}

TEST(SettingsDir, AWritableProgramDirectoryIsKept) {
    TTempDir dir;
    EXPECT_EQ(SettingsDirectoryFor(dir.Path() + "/"), dir.Path() + "/");
}

TEST(SettingsDir, OtherwiseTheUsersConfigurationDirectoryIsMade) {
    TTempDir home;
    TEnv homeVar("HOME", home.Path());
    {
        TEnv xdg("XDG_CONFIG_HOME", home.Path() + "/xdg/");
        EXPECT_EQ(SettingsDirectoryFor(home / "no/such/dir/"), home.Path() + "/xdg/ferrox/");
        struct stat st {};
        EXPECT_EQ(::stat((home / "xdg/ferrox").c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
    }
    {
        // The base directory rules ignore a relative value.
        TEnv xdg("XDG_CONFIG_HOME", std::string("relative"));
        EXPECT_EQ(SettingsDirectoryFor(""), home.Path() + "/.config/ferrox/");
        EXPECT_TRUE(Exists(home / ".config/ferrox"));
    }
}

// Where each file goes, by whether the program's directory can be written (a build tree or
// a portable folder) and by the XDG variables. "~" stands for the home directory, "exe/"
// for the program's directory and "" for the working directory.
TEST(SettingsDir, PlacesOfTheSettingsAndOfTheLogAndBackup) {
    struct TCase {
        const char* name;
        bool writable;
        std::optional<std::string> config, state; // nullopt: unset; "~" is replaced
        std::string settings, stateDir;
    };
    const std::vector<TCase> cases = {
        {"build tree, variables set", true, "~/c", "~/s", "exe/", ""},
        {"build tree, variables unset", true, std::nullopt, std::nullopt, "exe/", ""},
        {"installed, variables set", false, "~/c", "~/s", "~/c/ferrox/", "~/s/ferrox/"},
        {"installed, variables unset", false, std::nullopt, std::nullopt, "~/.config/ferrox/",
         "~/.local/state/ferrox/"},
        {"installed, variables empty", false, "", "", "~/.config/ferrox/",
         "~/.local/state/ferrox/"},
        {"installed, variables relative", false, "c", "s", "~/.config/ferrox/",
         "~/.local/state/ferrox/"},
        {"installed, with trailing slashes", false, "~/c/", "~/s//", "~/c/ferrox/", "~/s/ferrox/"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TTempDir home, exe;
        auto expand = [&](std::string text) {
            if (text.rfind("~", 0) == 0)
                text = home.Path() + text.substr(1);
            else if (text.rfind("exe/", 0) == 0)
                text = exe.Path() + text.substr(3);
            return text;
        };
        auto var = [&](const std::optional<std::string>& v) {
            return v ? std::optional<std::string>(expand(*v)) : std::nullopt;
        };
        TEnv homeVar("HOME", home.Path());
        TEnv config("XDG_CONFIG_HOME", var(c.config));
        TEnv state("XDG_STATE_HOME", var(c.state));
        // Root may write anywhere, so a directory that does not exist stands for one that
        // cannot be written.
        const std::string exeDir = c.writable ? exe.Path() + "/" : exe / "gone/";
        EXPECT_EQ(IsInstalledProgram(exeDir), !c.writable);
        EXPECT_EQ(SettingsDirectoryFor(exeDir), expand(c.settings));
        EXPECT_EQ(StateDirectoryFor(exeDir), expand(c.stateDir));
        struct stat st {};
        if (!c.writable) {
            EXPECT_EQ(::stat(expand(c.settings).c_str(), &st), 0);
            EXPECT_EQ(::stat(expand(c.stateDir).c_str(), &st), 0);
            EXPECT_TRUE(S_ISDIR(st.st_mode));
        } else {
            EXPECT_FALSE(Exists(home / ".local")) << "a build tree made the user's directories";
            EXPECT_FALSE(Exists(home / "s"));
        }
    }
}

TEST(SettingsDir, TestsMayPointItElsewhere) {
    SetSettingsDirForTesting("/some/where");
    EXPECT_EQ(SettingsDir(), "/some/where/");
    EXPECT_EQ(StatePath(), "");
}

} // namespace
