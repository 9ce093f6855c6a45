#include "platform/CopyFile.h"
#include "PlatformTestUtil.h"
#include "platform/SysError.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace ferrox {
namespace {

using namespace test;

struct TReport {
    int64_t Total;
    int64_t Done;
    uint32_t Reason;
};

struct TRecorder {
    std::vector<TReport> Reports;
    std::atomic<int32_t> Cancel{0};
    bool CancelOnFirstChunk = false;
    std::string WatchDir; // when set, the temp names seen there during the copy
    std::vector<std::string> TempsSeen;

    TCopyOptions Options() {
        TCopyOptions options;
        options.Progress = [](int64_t total, int64_t done, uint32_t reason, void* data) {
            auto* self = static_cast<TRecorder*>(data);
            self->Reports.push_back({total, done, reason});
            if (reason == CALLBACK_CHUNK_FINISHED && self->CancelOnFirstChunk)
                self->Cancel = 1;
            if (!self->WatchDir.empty())
                for (const auto& name : NamesIn(self->WatchDir))
                    if (IsCopyTempName(name))
                        self->TempsSeen.push_back(name);
        };
        options.Data = this;
        options.Cancel = &Cancel;
        return options;
    }
};

// Nothing of ours may stay behind in a directory after a copy, successful or not.
void ExpectNoTempFiles(const std::string& dir) {
    for (const auto& name : NamesIn(dir))
        EXPECT_FALSE(IsCopyTempName(name)) << "left behind: " << name;
}

TEST(CopyFile, ReplacesTargetAndReportsProgressInOrder) {
    TTempDir tmp;
    const std::string data = PatternBytes(3 * 1024 * 1024 + 123);
    WriteFile(tmp / "src", data);
    WriteFile(tmp / "dst", "older and shorter");

    TRecorder rec;
    rec.WatchDir = tmp.Path();
    TCopyResult r = CopyFileWithProgress(tmp / "src", tmp / "dst", rec.Options());
    ASSERT_EQ(r.Error, 0) << SysErrorMessage(r.Error);
    EXPECT_EQ(ReadFile(tmp / "dst"), data);

    struct stat st;
    ASSERT_EQ(::lstat((tmp / "src").c_str(), &st), 0);
    EXPECT_TRUE(r.Source.Valid);
    EXPECT_EQ(r.Source.Inode, st.st_ino);
    EXPECT_EQ(r.Source.Size, static_cast<int64_t>(data.size()));
    EXPECT_TRUE(IsSameFileState(tmp / "src", r.Source));

    ASSERT_GE(rec.Reports.size(), 2u);
    EXPECT_EQ(rec.Reports[0].Reason, CALLBACK_STREAM_SWITCH);
    EXPECT_EQ(rec.Reports[0].Done, 0);
    EXPECT_EQ(rec.Reports[0].Total, static_cast<int64_t>(data.size()));
    for (size_t i = 1; i < rec.Reports.size(); ++i) {
        EXPECT_EQ(rec.Reports[i].Reason, CALLBACK_CHUNK_FINISHED);
        EXPECT_GT(rec.Reports[i].Done, rec.Reports[i - 1].Done);
        EXPECT_EQ(rec.Reports[i].Total, static_cast<int64_t>(data.size()));
    }
    EXPECT_EQ(rec.Reports.back().Done, static_cast<int64_t>(data.size()));

    // The data went through a temporary file the cleanup would recognise, now gone.
    EXPECT_FALSE(rec.TempsSeen.empty());
    ExpectNoTempFiles(tmp.Path());

    EXPECT_FALSE(IsSameFileState(tmp / "dst", r.Source));
    WriteFile(tmp / "src", "changed");
    EXPECT_FALSE(IsSameFileState(tmp / "src", r.Source));
}

TEST(CopyFile, EmptyFileAndNullCallback) {
    TTempDir tmp;
    WriteFile(tmp / "empty", "");
    TRecorder rec;
    TCopyResult r = CopyFileWithProgress(tmp / "empty", tmp / "copy", rec.Options());
    ASSERT_EQ(r.Error, 0);
    EXPECT_EQ(ReadFile(tmp / "copy"), "");
    ASSERT_EQ(rec.Reports.size(), 1u);
    EXPECT_EQ(rec.Reports[0].Reason, CALLBACK_STREAM_SWITCH);

    WriteFile(tmp / "small", "abc");
    r = CopyFileWithProgress(tmp / "small", tmp / "small2", TCopyOptions{});
    ASSERT_EQ(r.Error, 0);
    EXPECT_EQ(ReadFile(tmp / "small2"), "abc");
}

TEST(CopyFile, FileWithoutStatSizeIsCopiedToItsEnd) {
    // /proc files claim size 0 yet have content: the copy must go by EOF, not by st_size.
    TTempDir tmp;
    TRecorder rec;
    TCopyResult r = CopyFileWithProgress("/proc/self/status", tmp / "status", rec.Options());
    ASSERT_EQ(r.Error, 0) << SysErrorMessage(r.Error);
    std::string copied = ReadFile(tmp / "status");
    EXPECT_EQ(copied.rfind("Name:", 0), 0u);
    ASSERT_GE(rec.Reports.size(), 2u);
    EXPECT_EQ(rec.Reports.back().Done, static_cast<int64_t>(copied.size()));
    EXPECT_EQ(rec.Reports.back().Total, static_cast<int64_t>(copied.size()));
}

TEST(CopyFile, MissingSourceOrTargetDirectory) {
    TTempDir tmp;
    TCopyResult r = CopyFileWithProgress(tmp / "nothing", tmp / "dst", TCopyOptions{});
    EXPECT_EQ(r.Error, ENOENT);
    EXPECT_FALSE(r.Source.Valid);
    EXPECT_TRUE(NamesIn(tmp.Path()).empty());

    WriteFile(tmp / "src", "x");
    r = CopyFileWithProgress(tmp / "src", tmp / "no-such-dir/dst", TCopyOptions{});
    EXPECT_EQ(r.Error, ENOENT);

    MakeDir(tmp / "adir");
    r = CopyFileWithProgress(tmp / "adir", tmp / "dst", TCopyOptions{});
    EXPECT_EQ(r.Error, EISDIR);
    r = CopyFileWithProgress(tmp / "src", tmp / "adir", TCopyOptions{});
    EXPECT_NE(r.Error, 0);
    EXPECT_TRUE(NamesIn(tmp / "adir").empty());
    ExpectNoTempFiles(tmp.Path());
}

TEST(CopyFile, CancelLeavesExistingTargetAlone) {
    TTempDir tmp;
    WriteFile(tmp / "src", PatternBytes(5 * 1024 * 1024));
    WriteFile(tmp / "dst", "the old target");

    TRecorder rec;
    rec.CancelOnFirstChunk = true;
    TCopyResult r = CopyFileWithProgress(tmp / "src", tmp / "dst", rec.Options());
    EXPECT_EQ(r.Error, ECANCELED);
    EXPECT_EQ(ReadFile(tmp / "dst"), "the old target");
    ExpectNoTempFiles(tmp.Path());
    // Stopped at the first chunk, not after the whole file.
    size_t chunks = 0;
    for (const auto& report : rec.Reports)
        chunks += report.Reason == CALLBACK_CHUNK_FINISHED;
    EXPECT_EQ(chunks, 1u);

    // Already cancelled before the data: nothing is written at all.
    TRecorder early;
    early.Cancel = 1;
    r = CopyFileWithProgress(tmp / "src", tmp / "fresh", early.Options());
    EXPECT_EQ(r.Error, ECANCELED);
    EXPECT_FALSE(Exists(tmp / "fresh"));
    ExpectNoTempFiles(tmp.Path());
}

// A new target gets its name only once it is complete, and a copy that stops leaves no
// trace at all; this holds for root and for an ordinary user alike.
TEST(CopyFile, NewTargetIsNamedOnlyWhenComplete) {
    TTempDir tmp;
    ASSERT_EQ(::chmod(tmp.Path().c_str(), 0777), 0);
    const std::string data = PatternBytes(3 * 1024 * 1024);
    WriteFile(tmp / "src", data);
    ASSERT_EQ(::chmod((tmp / "src").c_str(), 0644), 0);

    struct TWatch {
        std::string Target;
        bool SeenEarly = false;
    } watch{tmp / "new"};
    TCopyOptions options;
    options.Progress = [](int64_t total, int64_t done, uint32_t, void* data) {
        auto* w = static_cast<TWatch*>(data);
        if (done < total && Exists(w->Target))
            w->SeenEarly = true;
    };
    options.Data = &watch;
    ASSERT_EQ(CopyFileWithProgress(tmp / "src", watch.Target, options).Error, 0);
    EXPECT_FALSE(watch.SeenEarly);
    EXPECT_EQ(ReadFile(watch.Target), data);

    TRecorder rec;
    rec.CancelOnFirstChunk = true;
    EXPECT_EQ(CopyFileWithProgress(tmp / "src", tmp / "cancelled", rec.Options()).Error, ECANCELED);
    EXPECT_FALSE(Exists(tmp / "cancelled"));
    ExpectNoTempFiles(tmp.Path());

    // Without root's right to link a descriptor directly.
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(77);
        bool ok = CopyFileWithProgress(tmp / "src", tmp / "by-user", TCopyOptions{}).Error == 0 &&
                  CopyFileWithProgress(tmp / "src", tmp / "by-user", TCopyOptions{}).Error == 0 &&
                  ReadFile(tmp / "by-user") == data;
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ExpectNoTempFiles(tmp.Path());
}

TEST(CopyFile, ModeAndTimesFollowTheSource) {
    TTempDir tmp;
    WriteFile(tmp / "src", "mode and time");
    ASSERT_EQ(::chmod((tmp / "src").c_str(), 0451), 0);
    struct timespec times[2] = {{1400000000, 5}, {1500000000, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (tmp / "src").c_str(), times, 0), 0);

    ASSERT_EQ(CopyFileWithProgress(tmp / "src", tmp / "dst", TCopyOptions{}).Error, 0);
    struct stat st;
    ASSERT_EQ(::stat((tmp / "dst").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0451u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
    EXPECT_EQ(st.st_atim.tv_sec, 1400000000);
    EXPECT_EQ(ReadFile(tmp / "dst"), "mode and time");

    // With SyncTarget as well, and onto a read-only target.
    TCopyOptions sync;
    sync.SyncTarget = true;
    ASSERT_EQ(CopyFileWithProgress(tmp / "src", tmp / "dst", sync).Error, 0);
    EXPECT_EQ(ReadFile(tmp / "dst"), "mode and time");
}

TEST(CopyFile, SameFileIsRefusedAndLeftIntact) {
    TTempDir tmp;
    MakeDir(tmp / "dir");
    const std::string data = PatternBytes(100000);
    WriteFile(tmp / "dir/x", data);
    ASSERT_EQ(::link((tmp / "dir/x").c_str(), (tmp / "hard").c_str()), 0);

    for (const std::string& target :
         {tmp / "dir/x", tmp / "dir/./x", tmp / "dir/../dir/x", tmp / "hard"}) {
        TCopyResult r = CopyFileWithProgress(tmp / "dir/x", target, TCopyOptions{});
        EXPECT_EQ(r.Error, errSameFile) << target;
        EXPECT_EQ(ReadFile(tmp / "dir/x"), data) << target;
    }
    ExpectNoTempFiles(tmp / "dir");
    ExpectNoTempFiles(tmp.Path());
}

TEST(CopyFile, SymlinkIsRecreatedNotFollowed) {
    TTempDir tmp;
    WriteFile(tmp / "real", PatternBytes(70000));
    ASSERT_EQ(::symlink("real", (tmp / "link").c_str()), 0);
    ASSERT_EQ(::symlink("/no/such/place", (tmp / "dangling").c_str()), 0);
    MakeDir(tmp / "out");
    WriteFile(tmp / "out/link", "a file the link replaces");

    TRecorder rec;
    TCopyResult r = CopyFileWithProgress(tmp / "link", tmp / "out/link", rec.Options());
    ASSERT_EQ(r.Error, 0) << SysErrorMessage(r.Error);
    char buf[256];
    ssize_t n = ::readlink((tmp / "out/link").c_str(), buf, sizeof buf);
    ASSERT_EQ(n, 4);
    EXPECT_EQ(std::string(buf, 4), "real");
    ASSERT_EQ(rec.Reports.size(), 2u);
    EXPECT_EQ(rec.Reports[0].Reason, CALLBACK_STREAM_SWITCH);
    EXPECT_EQ(rec.Reports[1].Reason, CALLBACK_CHUNK_FINISHED);
    EXPECT_EQ(rec.Reports[1].Done, 4);
    EXPECT_TRUE(IsSameFileState(tmp / "link", r.Source));

    r = CopyFileWithProgress(tmp / "dangling", tmp / "out/dangling", TCopyOptions{});
    ASSERT_EQ(r.Error, 0);
    n = ::readlink((tmp / "out/dangling").c_str(), buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "/no/such/place");

    // A link copied onto itself would lose it.
    EXPECT_EQ(CopyFileWithProgress(tmp / "link", tmp / "link", TCopyOptions{}).Error, errSameFile);
    ExpectNoTempFiles(tmp / "out");
}

TEST(CopyFile, TargetThatIsALinkIsReplacedNotWrittenThrough) {
    TTempDir tmp;
    WriteFile(tmp / "src", "new content");
    WriteFile(tmp / "victim", "must stay");
    ASSERT_EQ(::symlink("victim", (tmp / "dst").c_str()), 0);
    ASSERT_EQ(CopyFileWithProgress(tmp / "src", tmp / "dst", TCopyOptions{}).Error, 0);
    EXPECT_EQ(ReadFile(tmp / "victim"), "must stay");
    struct stat st;
    ASSERT_EQ(::lstat((tmp / "dst").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(ReadFile(tmp / "dst"), "new content");
}

TEST(CopyFile, FifoIsRefusedWithoutOpening) {
    TTempDir tmp;
    ASSERT_EQ(::mkfifo((tmp / "fifo").c_str(), 0644), 0);
    auto copy = std::async(std::launch::async, [&] {
        return CopyFileWithProgress(tmp / "fifo", tmp / "dst", TCopyOptions{}).Error;
    });
    if (copy.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // It opened the fifo and waits for a writer: give it one so the test can end.
        int fd = ::open((tmp / "fifo").c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
        FAIL() << "the copy blocked on a fifo";
    }
    EXPECT_EQ(copy.get(), errSpecialFile);
    EXPECT_FALSE(Exists(tmp / "dst"));
    ExpectNoTempFiles(tmp.Path());
}

TEST(CopyFile, AwkwardNamesAreCopiedByteExactly) {
    TTempDir tmp;
    MakeDir(tmp / "in");
    MakeDir(tmp / "out");
    const std::vector<std::string> names = {"line\nbreak", "byte\xff", "100%",
                                            "-leading",    " spaced ", ".hidden"};
    for (size_t i = 0; i < names.size(); ++i)
        WriteFile(tmp / "in" + "/" + names[i], PatternBytes(1000 + i, unsigned(i)));
    for (size_t i = 0; i < names.size(); ++i) {
        TCopyResult r = CopyFileWithProgress(tmp / "in" + "/" + names[i],
                                             tmp / "out" + "/" + names[i], TCopyOptions{});
        ASSERT_EQ(r.Error, 0) << names[i];
        EXPECT_EQ(ReadFile(tmp / "out" + "/" + names[i]), PatternBytes(1000 + i, unsigned(i)));
    }
    auto copied = NamesIn(tmp / "out");
    std::sort(copied.begin(), copied.end());
    auto expected = names;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(copied, expected);
}

TEST(CopyFile, ParallelCopiesIntoOneDirectory) {
    // Worker threads share the clone memory and pick temp names in the same directory.
    TTempDir tmp;
    MakeDir(tmp / "in");
    MakeDir(tmp / "out");
    constexpr int Threads = 4, Files = 25;
    for (int i = 0; i < Threads * Files; ++i)
        WriteFile(tmp / "in/" + std::to_string(i), PatternBytes(4096 + i, unsigned(i)));
    std::vector<std::thread> workers;
    std::atomic<int> failures{0};
    for (int t = 0; t < Threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = t * Files; i < (t + 1) * Files; ++i) {
                std::string name = std::to_string(i);
                if (CopyFileWithProgress(tmp / "in/" + name, tmp / "out/" + name, TCopyOptions{})
                        .Error != 0)
                    ++failures;
            }
        });
    for (auto& w : workers)
        w.join();
    EXPECT_EQ(failures, 0);
    for (int i = 0; i < Threads * Files; ++i)
        ASSERT_EQ(ReadFile(tmp / "out/" + std::to_string(i)), PatternBytes(4096 + i, unsigned(i)));
    EXPECT_EQ(NamesIn(tmp / "out").size(), size_t(Threads * Files));
}

TEST(CopyFile, OtherFileSystemAndFullDisk) {
    TTempDir tmp;
    TMountedTmpfs disk(tmp / "disk", "size=1m");
    if (!disk.Mounted())
        GTEST_SKIP() << "needs root to mount a tmpfs";

    // Across file systems neither clone nor copy_file_range applies: the buffer copy runs.
    const std::string small = PatternBytes(300 * 1024);
    WriteFile(tmp / "small", small);
    TRecorder rec;
    ASSERT_EQ(CopyFileWithProgress(tmp / "small", tmp / "disk/small", rec.Options()).Error, 0);
    EXPECT_EQ(ReadFile(tmp / "disk/small"), small);
    EXPECT_EQ(rec.Reports.back().Done, static_cast<int64_t>(small.size()));
    ASSERT_EQ(::unlink((tmp / "disk/small").c_str()), 0);

    const std::string old = PatternBytes(100, 7);
    WriteFile(tmp / "disk/target", old);
    WriteFile(tmp / "big", PatternBytes(2 * 1024 * 1024));
    TCopyResult r = CopyFileWithProgress(tmp / "big", tmp / "disk/target", TCopyOptions{});
    EXPECT_EQ(r.Error, ENOSPC) << SysErrorMessage(r.Error);
    EXPECT_EQ(ReadFile(tmp / "disk/target"), old);
    EXPECT_EQ(NamesIn(tmp / "disk"), std::vector<std::string>{"target"});
    // A new name fails the same way and leaves nothing behind.
    r = CopyFileWithProgress(tmp / "big", tmp / "disk/new", TCopyOptions{});
    EXPECT_EQ(r.Error, ENOSPC) << SysErrorMessage(r.Error);
    EXPECT_EQ(NamesIn(tmp / "disk"), std::vector<std::string>{"target"});
}

} // namespace
} // namespace ferrox
