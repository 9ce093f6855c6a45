#include "platform/PartialFile.h"
#include "PlatformTestUtil.h"
#include "platform/CopyFile.h"
#include "platform/SysError.h"
#include "platform/UnnamedFile.h"
#include "support/TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ferrox {
namespace {

using namespace test;

constexpr int64_t MiB = 1 << 20;

// A copy onto target that says where it continued and how much it reported as its own.
struct TCopied {
    TCopyResult Result;
    int64_t ContinuedAt = -1;
    int64_t Reported = 0;
};
TCopied CopyCounting(const std::string& source, const std::string& target, bool verify = false) {
    TCopied copied;
    TCopyOptions options;
    options.Verify = verify;
    options.Progress = [&copied](const TCopyProgress& p) {
        if (p.Starts)
            copied.ContinuedAt = p.ContinuedAt;
        else
            copied.Reported = p.Done;
    };
    copied.Result = CopyFileWithProgress(source, target, options);
    return copied;
}

// The partials of ours in dir, with the lengths their names give.
std::vector<int64_t> PartialLengths(const std::string& dir) {
    std::vector<int64_t> lengths;
    for (const std::string& name : NamesIn(dir)) {
        TTempWriter writer;
        TPartialName partial;
        if (ParsePartialName(name, writer, partial))
            lengths.push_back(partial.Length);
    }
    return lengths;
}

pid_t GonePid() {
    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    return gone;
}

} // namespace

// A large file's copy killed part-way leaves a partial whose name says how much of it is on
// the disk; the next copy continues there (and tells so), adds only the rest, and the
// target is the whole source. Until then the target's name holds nothing.
TEST(PartialFile, AKilledCopyIsContinuedWhereItsDataOnTheDiskEnds) {
    TTempDir tmp;
    MakeDir(tmp / "out");
    const std::string data = PatternBytes(size_t(ResumableFrom + 8 * MiB));
    WriteFile(tmp / "big.bin", data);
    const pid_t child =
        ForkCopyHeldAfterFirstChunk(tmp / "big.bin", tmp / "out/big.bin", PartialStep + 4 * MiB);
    ASSERT_GT(child, 0);
    ::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    EXPECT_FALSE(Exists(tmp / "out/big.bin"));
    // Marked once, at the end of the chunk that passed the step.
    const std::vector<int64_t> lengths = PartialLengths(tmp / "out");
    ASSERT_EQ(lengths.size(), 1u);
    const int64_t length = lengths[0];
    EXPECT_GE(length, PartialStep);
    EXPECT_LT(length, int64_t(data.size()));

    const TCopied copied = CopyCounting(tmp / "big.bin", tmp / "out/big.bin");
    EXPECT_EQ(copied.Result.Error, 0);
    EXPECT_EQ(copied.ContinuedAt, length);
    EXPECT_EQ(copied.Result.ContinuedAt, length);
    EXPECT_EQ(copied.Reported, int64_t(data.size()) - length);
    EXPECT_TRUE(ReadFile(tmp / "out/big.bin") == data);
    EXPECT_EQ(NamesIn(tmp / "out"), std::vector<std::string>{"big.bin"});
}

// Only a partial of this target name and this unchanged source, left by a writer that is
// provably gone and held by no one, whose end (all of it, where copies are verified) is
// the source's, is continued. One for a changed source or with other bytes is removed and
// the file copied whole; a live writer's, a held one and another name's stay as they are.
TEST(PartialFile, OnlyAFittingPartialOfAGoneWriterIsContinued) {
    const TTempWriter& us = ThisTempWriter();
    const TTempWriter gone{us.Machine, us.Boot, GonePid(), 1};
    struct TCase {
        const char* What;
        TTempWriter Writer;
        const char* KeyName; // the target name the partial is for
        bool SourceChanged;  // touched since the partial was written
        int64_t SpoiltAt;    // -1: its bytes are the source's
        bool Verify, Held;
        bool Continued, Stays;
    };
    const int64_t length = 8 * MiB;
    for (const TCase& c : {
             TCase{"fits", gone, "big.bin", false, -1, false, false, true, false},
             TCase{"fits, verified", gone, "big.bin", false, -1, true, false, true, false},
             TCase{"source changed", gone, "big.bin", true, -1, false, false, false, false},
             TCase{"end differs", gone, "big.bin", false, length - 7, false, false, false, false},
             TCase{"start differs, verified", gone, "big.bin", false, 5, true, false, false, false},
             TCase{"a live writer's", us, "big.bin", false, -1, false, false, false, true},
             TCase{"held", gone, "big.bin", false, -1, false, true, false, true},
             TCase{"another name's", gone, "other.bin", false, -1, false, false, false, true},
         }) {
        SCOPED_TRACE(c.What);
        TTempDir tmp;
        MakeDir(tmp / "out");
        const std::string data = PatternBytes(size_t(ResumableFrom + MiB), 7);
        WriteFile(tmp / "big.bin", data);
        struct stat source {};
        ASSERT_EQ(::stat((tmp / "big.bin").c_str(), &source), 0);
        std::string prefix = data.substr(0, size_t(length));
        if (c.SpoiltAt >= 0)
            prefix[size_t(c.SpoiltAt)] ^= 1;
        const std::string partial =
            tmp / ("out/" + PartialNameOf(c.Writer, PartialKeyOf(c.KeyName, source), length));
        WriteFile(partial, prefix);
        if (c.SourceChanged) {
            const struct timespec later[2] = {{UTIME_OMIT, 0}, {source.st_mtim.tv_sec + 5, 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, (tmp / "big.bin").c_str(), later, 0), 0);
        }
        const int holder = ::open(partial.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(holder, 0);
        if (c.Held) {
            ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
        }

        const TCopied copied = CopyCounting(tmp / "big.bin", tmp / "out/big.bin", c.Verify);
        ::close(holder);
        EXPECT_EQ(copied.Result.Error, 0);
        EXPECT_EQ(copied.ContinuedAt, c.Continued ? length : 0);
        EXPECT_TRUE(ReadFile(tmp / "out/big.bin") == data);
        EXPECT_EQ(Exists(partial), c.Stays);
        EXPECT_EQ(NamesIn(tmp / "out").size(), c.Stays ? 2u : 1u);
    }
}

// A gone writer's partial waits a week for its line's next run: the sweep of stale
// temporaries that another copy into its folder makes leaves it until then.
TEST(PartialFile, TheSweepKeepsAPartialForAWeek) {
    const TTempWriter& us = ThisTempWriter();
    const TTempWriter gone{us.Machine, us.Boot, GonePid(), 1};
    TTempDir tmp;
    const std::string key(32, 'a');
    const std::string fresh = tmp / PartialNameOf(gone, key, 1);
    const std::string old = tmp / PartialNameOf(gone, key, 2);
    WriteFile(fresh, "x");
    WriteFile(old, "xx");
    const time_t weekAgo = ::time(nullptr) - PartialKeptSeconds - 60;
    const struct timespec then[2] = {{weekAgo, 0}, {weekAgo, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, old.c_str(), then, 0), 0);
    const int dir = ::open(tmp.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    EXPECT_EQ(RemoveStaleTemps(dir), 1);
    ::close(dir);
    EXPECT_TRUE(Exists(fresh));
    EXPECT_FALSE(Exists(old));
}

} // namespace ferrox
