#include "PlatformTestUtil.h"
#include "platform/CopyFile.h"
#include "platform/SysError.h"
#include "platform/UnnamedFile.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

namespace ferrox {
namespace {

using namespace test;

std::vector<std::string> SortedNames(const std::string& dir) {
    auto names = NamesIn(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> TempsIn(const std::string& dir) {
    std::vector<std::string> temps;
    for (const auto& name : NamesIn(dir))
        if (IsCopyTempName(name))
            temps.push_back(name);
    return temps;
}

// What exFAT cannot hold (modes, extended attributes, links, names with ? or bytes that
// are not UTF-8) never fails a copy for the wrong reason, nor leaves anything behind.
TEST(Exfat, CopyKeepsWhatTheStickHoldsAndNamesWhatItRefuses) {
    TTempDir tmp;
    TMountedExfat stick(tmp.Path());
    if (!stick.Missing().empty())
        GTEST_SKIP() << "no exFAT to test on: needs " << stick.Missing();
    const std::string out = stick.Path();
    const std::string data = PatternBytes(3 * 1024 * 1024);
    WriteFile(tmp / "plain", data);
    ASSERT_EQ(::chmod((tmp / "plain").c_str(), 0640), 0);
    struct timespec times[2] = {{1400000000, 0}, {1500000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (tmp / "plain").c_str(), times, 0), 0);
    ::setxattr((tmp / "plain").c_str(), "user.ferrox.note", "kept", 4, 0); // where /tmp takes it
    WriteFile(tmp / "what?.txt", "asks");
    WriteFile(tmp / "byte\xff", "not UTF-8");
    ASSERT_EQ(::symlink("plain", (tmp / "link").c_str()), 0);
    WriteFile(out + "/plain", "an older copy");

    struct TCase {
        const char* Name;
        int Error;
    };
    TCopyContext context;
    for (bool sync : {false, true}) // over the older copy, then as a Move does
        for (TCase c : {TCase{"plain", 0},
                        {"what?.txt", errNameRefused},
                        {"byte\xff", errNameRefused},
                        {"link", errNoSymlinks}}) {
            TCopyOptions options;
            options.SyncTarget = sync;
            TCopyResult r =
                CopyFileWithProgress(tmp / c.Name, out + "/" + c.Name, options, &context);
            EXPECT_EQ(r.Error, c.Error) << c.Name << ": " << SysErrorMessage(r.Error);
        }
    EXPECT_EQ(ReadFile(out + "/plain"), data);
    struct stat st;
    ASSERT_EQ(::stat((out + "/plain").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
    // The stick keeps whole seconds: a source with a fraction is no newer than its copy.
    struct timespec fraction[2] = {{1500000000, 250000000}, {1500000000, 250000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (tmp / "plain").c_str(), fraction, 0), 0);
    TCopyOptions newer;
    newer.Existing = TExistingTargets::Newer;
    EXPECT_TRUE(CopyFileWithProgress(tmp / "plain", out + "/plain", newer, &context).Skipped)
        << "an unchanged file is copied again";
    EXPECT_EQ(NamesIn(out), std::vector<std::string>{"plain"});
    // Its files may be renumbered: the run's record of what it filled keeps their names.
    int error = 0;
    const TCopyContext::TDir* stickDir = context.TargetDir(out, error);
    ASSERT_NE(stickDir, nullptr);
    EXPECT_FALSE(stickDir->StableInodes);
    EXPECT_TRUE(stickDir->Fuse);
}

// exFAT through FUSE has neither a rename that refuses to replace nor hard links: copies
// side by side onto one name (and two runs at once) must still never take a name in use.
// With keep-both every copy ends under a name of its own, with skip exactly one copy
// takes each name and the others are told they were skipped.
TEST(Exfat, CopiesSideBySideNeverTakeANameInUse) {
    TTempDir tmp;
    TMountedExfat stick(tmp.Path());
    if (!stick.Missing().empty())
        GTEST_SKIP() << "no exFAT to test on: needs " << stick.Missing();
    constexpr int Copiers = 6, Names = 12;
    auto content = [](int copier, int name) {
        return "copier " + std::to_string(copier) + " name " + std::to_string(name);
    };
    for (int c = 0; c < Copiers; ++c) {
        MakeDir(tmp / ("in" + std::to_string(c)));
        for (int n = 0; n < Names; ++n)
            WriteFile(tmp / ("in" + std::to_string(c) + "/f" + std::to_string(n)), content(c, n));
    }
    for (TExistingTargets policy : {TExistingTargets::KeepBoth, TExistingTargets::Skip}) {
        SCOPED_TRACE(ExistingTargetsName(policy));
        const std::string out = stick.Path() + "/" + ExistingTargetsName(policy);
        MakeDir(out);
        std::atomic<int> failures{0}, placed{0};
        std::vector<std::thread> copiers;
        for (int c = 0; c < Copiers; ++c)
            copiers.emplace_back([&, c] {
                TCopyContext context; // each its own, as two runs would have
                TCopyOptions options;
                options.Existing = policy;
                for (int n = 0; n < Names; ++n) {
                    const std::string name = "/f" + std::to_string(n);
                    const TCopyResult r = CopyFileWithProgress(
                        tmp / ("in" + std::to_string(c)) + name, out + name, options, &context);
                    failures += r.Error != 0;
                    placed += r.Error == 0 && !r.Skipped;
                }
            });
        for (auto& t : copiers)
            t.join();
        EXPECT_EQ(failures, 0);
        std::vector<std::string> contents;
        for (const auto& name : NamesIn(out))
            contents.push_back(ReadFile(out + "/" + name));
        const int expected = policy == TExistingTargets::KeepBoth ? Copiers * Names : Names;
        EXPECT_EQ(placed, expected) << "a copy took a name another had taken";
        EXPECT_EQ(contents.size(), size_t(expected));
        std::sort(contents.begin(), contents.end());
        EXPECT_EQ(std::unique(contents.begin(), contents.end()), contents.end());
        EXPECT_TRUE(TempsIn(out).empty());
    }
}

// A run killed on a stick leaves its named temporary; the next run into that directory
// removes it, but never the temporary of a copy still going on.
TEST(Exfat, KilledCopysTemporaryGoesWithTheNextRunOnly) {
    TTempDir tmp;
    TMountedExfat stick(tmp.Path());
    if (!stick.Missing().empty())
        GTEST_SKIP() << "no exFAT to test on: needs " << stick.Missing();
    const std::string out = stick.Path();
    WriteFile(tmp / "big", PatternBytes(8 * 1024 * 1024));
    WriteFile(tmp / "small", "small");

    const pid_t writer = ForkCopyHeldAfterFirstChunk(tmp / "big", out + "/big");
    ASSERT_GT(writer, 0);
    ASSERT_EQ(TempsIn(out).size(), 1u);

    auto run = [&](const char* name) {
        TCopyContext context; // a run of its own
        EXPECT_EQ(
            CopyFileWithProgress(tmp / "small", out + "/" + name, TCopyOptions{}, &context).Error,
            0);
    };
    run("while-alive");
    EXPECT_EQ(TempsIn(out).size(), 1u) << "a live copy's temporary was removed";
    ::kill(writer, SIGKILL);
    ASSERT_EQ(::waitpid(writer, nullptr, 0), writer);
    EXPECT_EQ(TempsIn(out).size(), 1u);
    run("after-kill");
    EXPECT_EQ(SortedNames(out), (std::vector<std::string>{"after-kill", "while-alive"}));
}

// Only a temporary whose writer is provably gone goes: one of this boot whose process
// is gone (or whose pid another process has taken since), or one of an earlier boot that
// nobody has written for ten minutes; and never one its writer holds a lock on. A file
// that merely looks like ours is never touched.
TEST(NamedTemporaries, OnlyProvablyStaleOnesAreRemoved) {
    TTempDir tmp;
    const TTempWriter& us = ThisTempWriter();
    ASSERT_TRUE(IsCopyTempName(RandomTempName()));
    auto other = [](std::string token) {
        token[0] = token[0] == '0' ? '1' : '0';
        return token;
    };
    pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    auto writer = [&](const std::string& boot, pid_t pid, uint64_t start) {
        return TTempWriter{us.Machine, boot, pid, start};
    };
    struct TCase {
        std::string Name;
        bool Locked;
        bool Old; // untouched for eleven minutes
        bool Removed;
    };
    const std::string otherMachine = TempNameOf({other(us.Machine), us.Boot, gone, 1}, "remote");
    const std::string mimic = TempNameOf(writer(us.Boot, gone, 1), "mimic0");
    const std::vector<TCase> cases = {
        {TempNameOf(writer(us.Boot, gone, 1), "gone00"), false, false, true},
        // Its pid is not ours to see (another pid namespace), but its lock is held.
        {TempNameOf(writer(us.Boot, gone, 1), "locked"), true, false, false},
        // Alive: between making its file and locking it, or closing and naming it.
        {TempNameOf(writer(us.Boot, ::getpid(), us.Start), "alive0"), false, false, false},
        // A live process, but not the one that made it: the pid was taken since.
        {TempNameOf(writer(us.Boot, ::getppid(), us.Start + 12345), "reused"), false, false, true},
        {TempNameOf(writer(other(us.Boot), ::getpid(), us.Start), "reboot"), false, true, true},
        // Another boot, or a clone sharing this machine's id, still writing it.
        {TempNameOf(writer(other(us.Boot), gone, 1), "clone0"), false, false, false},
        {TempNameOf(writer(other(us.Boot), gone, 1), "clone1"), true, true, false},
        {otherMachine, false, true, false},
        // Names of our form whose check value is wrong, or missing: a user's files.
        {mimic.substr(0, mimic.size() - 6) + (mimic[mimic.size() - 6] == '0' ? "1" : "0") + ".part",
         false, true, false},
        {".ferrox-" + us.Machine + "-" + us.Boot + "-" + std::to_string(gone) + "-abcdef.part",
         false, true, false},
        {".ferrox-notes.part", false, true, false},
    };
    std::vector<int> locks;
    for (const TCase& c : cases) {
        WriteFile(tmp / c.Name, "partial");
        if (c.Old) {
            struct timespec times[2] = {{::time(nullptr) - 11 * 60, 0},
                                        {::time(nullptr) - 11 * 60, 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, (tmp / c.Name).c_str(), times, 0), 0);
        }
        if (c.Locked) {
            locks.push_back(::open((tmp / c.Name).c_str(), O_RDONLY | O_CLOEXEC));
            ASSERT_EQ(::flock(locks.back(), LOCK_EX), 0);
        }
    }
    // A link left between its making and its renaming goes too; a directory is never ours.
    const std::string link = TempNameOf(writer(us.Boot, gone, 1), "link00");
    const std::string dir = TempNameOf(writer(us.Boot, gone, 1), "dir000");
    ASSERT_EQ(::symlink("x", (tmp / link).c_str()), 0);
    MakeDir(tmp / dir);

    int fd = ::open(tmp.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(RemoveStaleTemps(fd), 4);
    ::close(fd);
    for (const TCase& c : cases)
        EXPECT_EQ(Exists(tmp / c.Name), !c.Removed) << c.Name;
    EXPECT_FALSE(Exists(tmp / link));
    EXPECT_TRUE(Exists(tmp / dir));
    for (int l : locks)
        ::close(l);
}

} // namespace
} // namespace ferrox
