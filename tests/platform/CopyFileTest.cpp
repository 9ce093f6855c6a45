#include "platform/CopyFile.h"
#include "PlatformTestUtil.h"
#include "platform/FilledTargets.h"
#include "platform/PartialFile.h"
#include "platform/SysError.h"
#include "platform/UnnamedFile.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace ferrox {
namespace {

using namespace test;

struct TReport {
    int64_t Total;
    int64_t Done;
    bool Starts;
};

struct TRecorder {
    std::vector<TReport> Reports;
    std::atomic<bool> Cancel{false};
    bool CancelOnFirstChunk = false;
    std::function<void()> OnFirstChunk; // runs once, on the copying thread
    std::string WatchDir;               // when set, the temp names seen there during the copy
    std::vector<std::string> TempsSeen;

    TCopyOptions Options() {
        TCopyOptions options;
        options.Progress = [self = this](const TCopyProgress& p) {
            self->Reports.push_back({p.Size, p.Done, p.Starts});
            if (!p.Starts && self->CancelOnFirstChunk)
                self->Cancel = true;
            if (!p.Starts && self->OnFirstChunk)
                std::exchange(self->OnFirstChunk, nullptr)();
            if (!self->WatchDir.empty())
                for (const auto& name : NamesIn(self->WatchDir))
                    if (IsCopyTempName(name))
                        self->TempsSeen.push_back(name);
        };
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
    EXPECT_EQ(SourceStateOf(r.Copied), TSourceState::Copied);

    ASSERT_GE(rec.Reports.size(), 2u);
    EXPECT_EQ(rec.Reports[0].Starts, true);
    EXPECT_EQ(rec.Reports[0].Done, 0);
    EXPECT_EQ(rec.Reports[0].Total, static_cast<int64_t>(data.size()));
    for (size_t i = 1; i < rec.Reports.size(); ++i) {
        EXPECT_EQ(rec.Reports[i].Starts, false);
        EXPECT_GT(rec.Reports[i].Done, rec.Reports[i - 1].Done);
        EXPECT_EQ(rec.Reports[i].Total, static_cast<int64_t>(data.size()));
    }
    EXPECT_EQ(rec.Reports.back().Done, static_cast<int64_t>(data.size()));

    // Even over an existing target, no temporary file had a name while the data went.
    EXPECT_TRUE(rec.TempsSeen.empty());
    ExpectNoTempFiles(tmp.Path());

    EXPECT_EQ(SourceStateOf({nullptr, tmp / "dst", r.Source}), TSourceState::Other);
    WriteFile(tmp / "src", "changed");
    EXPECT_EQ(SourceStateOf(r.Copied), TSourceState::Other);
}

// A source written to, cut short or touched while its data is read gives no copy, whichever
// way the data goes (a sparse source shrinking under the hole-aware copy once gave a torn
// file reported as success): the copy fails, the old target stays, nothing is left behind.
TEST(CopyFile, SourceChangedWhileReadGivesNoCopy) {
    struct TCase {
        const char* Name;
        bool Sparse;
        std::function<void(const std::string&)> Change;
    };
    const TCase cases[] = {
        {"grown", false,
         [](const std::string& path) {
             int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
             ASSERT_EQ(::write(fd, "more", 4), 4);
             ::close(fd);
         }},
        {"sparse, cut short", true,
         [](const std::string& path) { ASSERT_EQ(::truncate(path.c_str(), 4096), 0); }},
        {"touched", false,
         [](const std::string& path) {
             struct timespec times[2] = {{0, UTIME_OMIT}, {1234567, 0}};
             ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
         }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempDir tmp;
        const std::string src = tmp / "src";
        if (c.Sparse) {
            // Data at the start and far out, a hole between and after.
            int fd = ::open(src.c_str(), O_WRONLY | O_CREAT, 0644);
            const std::string data = PatternBytes(3 << 20);
            ASSERT_EQ(::pwrite(fd, data.data(), data.size(), 0), ssize_t(data.size()));
            ASSERT_EQ(::pwrite(fd, data.data(), data.size(), 256 << 20), ssize_t(data.size()));
            ASSERT_EQ(::ftruncate(fd, 512 << 20), 0);
            ::close(fd);
        } else {
            WriteFile(src, PatternBytes(3 << 20));
        }
        WriteFile(tmp / "dst", "the old target");
        TRecorder rec;
        rec.OnFirstChunk = [&] { c.Change(src); };
        TCopyResult r = CopyFileWithProgress(src, tmp / "dst", rec.Options());
        EXPECT_EQ(r.Error, errSourceChangedDuringCopy) << SysErrorMessage(r.Error);
        EXPECT_EQ(ReadFile(tmp / "dst"), "the old target");
        ExpectNoTempFiles(tmp.Path());
    }
}

TEST(CopyFile, EmptyFileAndNullCallback) {
    TTempDir tmp;
    WriteFile(tmp / "empty", "");
    TRecorder rec;
    TCopyResult r = CopyFileWithProgress(tmp / "empty", tmp / "copy", rec.Options());
    ASSERT_EQ(r.Error, 0);
    EXPECT_EQ(ReadFile(tmp / "copy"), "");
    ASSERT_EQ(rec.Reports.size(), 1u);
    EXPECT_EQ(rec.Reports[0].Starts, true);

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
        chunks += !report.Starts;
    EXPECT_EQ(chunks, 1u);

    // Already cancelled before the data: nothing is written at all.
    TRecorder early;
    early.Cancel = true;
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
    options.Progress = [w = &watch](const TCopyProgress& p) {
        if (p.Done < p.Size && Exists(w->Target))
            w->SeenEarly = true;
    };
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
    EXPECT_EQ(rec.Reports[0].Starts, true);
    EXPECT_EQ(rec.Reports[1].Starts, false);
    EXPECT_EQ(rec.Reports[1].Done, 4);
    EXPECT_EQ(SourceStateOf(r.Copied), TSourceState::Copied);

    r = CopyFileWithProgress(tmp / "dangling", tmp / "out/dangling", TCopyOptions{});
    ASSERT_EQ(r.Error, 0);
    n = ::readlink((tmp / "out/dangling").c_str(), buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "/no/such/place");

    // A link copied onto itself would lose it.
    EXPECT_EQ(CopyFileWithProgress(tmp / "link", tmp / "link", TCopyOptions{}).Error, errSameFile);
    ExpectNoTempFiles(tmp / "out");
}

// A link copied into the directory that holds the file it points to would replace that
// file by a link to itself: the file's data would be gone.
TEST(CopyFile, LinkOntoItsOwnReferentIsRefused) {
    TTempDir tmp;
    MakeDir(tmp / "x");
    MakeDir(tmp / "y");
    WriteFile(tmp / "x/data", "the only copy");
    ASSERT_EQ(::symlink((tmp / "x/data").c_str(), (tmp / "y/data").c_str()), 0);
    ASSERT_EQ(::symlink("../x/data", (tmp / "y/relative").c_str()), 0);
    ASSERT_EQ(::link((tmp / "x/data").c_str(), (tmp / "x/hard").c_str()), 0);

    TCopyContext context;
    for (TCopyContext* ctx : {static_cast<TCopyContext*>(nullptr), &context}) {
        EXPECT_EQ(CopyFileWithProgress(tmp / "y/data", tmp / "x/data", TCopyOptions{}, ctx).Error,
                  errSameFile);
        EXPECT_EQ(
            CopyFileWithProgress(tmp / "y/relative", tmp / "x/data", TCopyOptions{}, ctx).Error,
            errSameFile);
        EXPECT_EQ(CopyFileWithProgress(tmp / "y/data", tmp / "x/hard", TCopyOptions{}, ctx).Error,
                  errSameFile);
        struct stat st;
        ASSERT_EQ(::lstat((tmp / "x/data").c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(ReadFile(tmp / "x/data"), "the only copy");
    }
    // Anywhere else the link is copied as a link.
    ASSERT_EQ(CopyFileWithProgress(tmp / "y/relative", tmp / "x/other", TCopyOptions{}).Error, 0);
    char buf[64];
    ssize_t n = ::readlink((tmp / "x/other").c_str(), buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "../x/data");
    ExpectNoTempFiles(tmp / "x");
}

// kill -9 in the middle of replacing a target: the old target stays and nothing of the
// copy takes space under any name.
TEST(CopyFile, KilledCopyLeavesNothingBehind) {
    TTempDir tmp;
    const std::string old = "the old target";
    WriteFile(tmp / "src", PatternBytes(8 * 1024 * 1024));
    for (const char* target : {"dst", "new"}) {
        if (std::string(target) == "dst")
            WriteFile(tmp / target, old);
        const pid_t pid = ForkCopyHeldAfterFirstChunk(tmp / "src", tmp / target);
        ASSERT_GT(pid, 0);
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        auto names = NamesIn(tmp.Path());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"dst", "src"})) << target;
        EXPECT_EQ(ReadFile(tmp / "dst"), old);
    }
}

// Holes stay holes: a file that uses a few blocks takes a few blocks in the copy.
TEST(CopyFile, SparseFileKeepsItsHoles) {
    TTempDir tmp;
    constexpr off_t Size = 16 << 20;
    int fd = ::open((tmp / "sparse").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const std::string head = PatternBytes(4096, 1), middle = PatternBytes(8192, 2);
    ASSERT_EQ(::pwrite(fd, head.data(), head.size(), 0), ssize_t(head.size()));
    ASSERT_EQ(::pwrite(fd, middle.data(), middle.size(), 4 << 20), ssize_t(middle.size()));
    ASSERT_EQ(::ftruncate(fd, Size), 0); // a hole to the end
    ::close(fd);
    struct stat src;
    ASSERT_EQ(::stat((tmp / "sparse").c_str(), &src), 0);
    if (src.st_blocks * 512 >= Size)
        GTEST_SKIP() << "the file system does not keep holes";

    TRecorder rec;
    ASSERT_EQ(CopyFileWithProgress(tmp / "sparse", tmp / "copy", rec.Options()).Error, 0);
    struct stat copy;
    ASSERT_EQ(::stat((tmp / "copy").c_str(), &copy), 0);
    EXPECT_EQ(copy.st_size, Size);
    EXPECT_LE(copy.st_blocks, src.st_blocks + 64) << "holes were filled";
    EXPECT_EQ(ReadFile(tmp / "copy"), ReadFile(tmp / "sparse"));
    EXPECT_EQ(rec.Reports.back().Done, Size);
    EXPECT_EQ(rec.Reports.back().Total, Size);

    // Cancelled between the data runs: nothing stays.
    TRecorder cancel;
    cancel.CancelOnFirstChunk = true;
    EXPECT_EQ(CopyFileWithProgress(tmp / "sparse", tmp / "cancelled", cancel.Options()).Error,
              ECANCELED);
    EXPECT_FALSE(Exists(tmp / "cancelled"));
}

// Extended attributes and ACLs go along where the target's file system takes them.
TEST(CopyFile, ExtendedAttributesAndAclsFollow) {
    TTempDir tmp;
    WriteFile(tmp / "src", "with attributes");
    if (::setxattr((tmp / "src").c_str(), "user.ferrox.note", "kept", 4, 0) != 0)
        GTEST_SKIP() << "no user extended attributes here: " << std::strerror(errno);
    // user::rw- user:1234:r-- group::r-- mask::r-- other::---
    const unsigned char acl[] = {2,  0, 0, 0,                          // version
                                 1,  0, 6, 0, 0xff, 0xff, 0xff, 0xff,  // user::rw-
                                 2,  0, 4, 0, 0xd2, 0x04, 0,    0,     // user:1234:r--
                                 4,  0, 4, 0, 0xff, 0xff, 0xff, 0xff,  // group::r--
                                 16, 0, 4, 0, 0xff, 0xff, 0xff, 0xff,  // mask::r--
                                 32, 0, 0, 0, 0xff, 0xff, 0xff, 0xff}; // other::---
    bool withAcl =
        ::setxattr((tmp / "src").c_str(), "system.posix_acl_access", acl, sizeof acl, 0) == 0;

    ASSERT_EQ(CopyFileWithProgress(tmp / "src", tmp / "dst", TCopyOptions{}).Error, 0);
    char value[64];
    ssize_t n = ::getxattr((tmp / "dst").c_str(), "user.ferrox.note", value, sizeof value);
    EXPECT_EQ(std::string(value, n > 0 ? n : 0), "kept");
    if (withAcl) {
        unsigned char copied[64];
        n = ::getxattr((tmp / "dst").c_str(), "system.posix_acl_access", copied, sizeof copied);
        ASSERT_EQ(n, ssize_t(sizeof acl));
        EXPECT_EQ(std::memcmp(copied, acl, sizeof acl), 0);
        struct stat st;
        ASSERT_EQ(::stat((tmp / "dst").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u);
    }
    // Over an existing target as well.
    WriteFile(tmp / "dst", "older");
    ASSERT_EQ(CopyFileWithProgress(tmp / "src", tmp / "dst", TCopyOptions{}).Error, 0);
    n = ::getxattr((tmp / "dst").c_str(), "user.ferrox.note", value, sizeof value);
    EXPECT_EQ(std::string(value, n > 0 ? n : 0), "kept");

    // A file system without extended attributes (ramfs) takes the data and the mode all
    // the same.
    MakeDir(tmp / "ram");
    if (::geteuid() != 0 || ::mount("ramfs", (tmp / "ram").c_str(), "ramfs", 0, nullptr) != 0)
        return;
    ASSERT_EQ(::chmod((tmp / "src").c_str(), 0640), 0);
    TCopyContext context;
    for (int round = 0; round < 2; ++round) { // a new target, then over it
        TCopyResult r =
            CopyFileWithProgress(tmp / "src", tmp / "ram/dst", TCopyOptions{}, &context);
        EXPECT_EQ(r.Error, 0) << SysErrorMessage(r.Error);
        EXPECT_EQ(ReadFile(tmp / "ram/dst"), "with attributes");
        struct stat st;
        ASSERT_EQ(::stat((tmp / "ram/dst").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u);
        EXPECT_EQ(NamesIn(tmp / "ram"), std::vector<std::string>{"dst"});
    }
    ::umount2((tmp / "ram").c_str(), MNT_DETACH);
}

// With a context the mode is set only where the umask or a default ACL would have got it
// wrong: every mode must still come out as the source's.
TEST(CopyFile, ModesComeOutRightWithAContext) {
    TTempDir tmp;
    MakeDir(tmp / "out");
    MakeDir(tmp / "acl");
    // Default ACL user::rwx group::r-x other::---: new files lose what the umask would keep.
    const unsigned char defaultAcl[] = {2,    0,    0, 0, 1,    0,    7,    0,    0xff, 0xff,
                                        0xff, 0xff, 4, 0, 5,    0,    0xff, 0xff, 0xff, 0xff,
                                        32,   0,    0, 0, 0xff, 0xff, 0xff, 0xff};
    bool withAcl = ::setxattr((tmp / "acl").c_str(), "system.posix_acl_default", defaultAcl,
                              sizeof defaultAcl, 0) == 0;
    mode_t old = ::umask(022);
    {
        TCopyContext context;
        for (mode_t mode : {0644, 0600, 0755, 0444, 0664, 0000, 0777}) {
            std::string name = "m" + std::to_string(mode);
            WriteFile(tmp / name, "x");
            ASSERT_EQ(::chmod((tmp / name).c_str(), mode), 0);
            for (const char* dir : {"out/", "acl/"}) {
                ASSERT_EQ(
                    CopyFileWithProgress(tmp / name, tmp / dir + name, TCopyOptions{}, &context)
                        .Error,
                    0);
                struct stat st;
                ASSERT_EQ(::stat((tmp / dir + name).c_str(), &st), 0);
                if (std::string(dir) == "out/" || withAcl) {
                    EXPECT_EQ(st.st_mode & 07777, mode) << dir << name;
                }
            }
        }
    }
    ::umask(old);
}

// Where the file system refuses unnamed files, a named temporary takes their place: the
// same results, and nothing left behind.
TEST(CopyFile, NamedTemporaryWhereUnnamedFilesAreRefused) {
    TTempDir tmp;
    MakeDir(tmp / "out");
    const std::string data = PatternBytes(3 * 1024 * 1024);
    WriteFile(tmp / "src", data);
    TCopyContext context;
    int error = 0;
    ASSERT_NE(context.TargetDir(tmp / "out", error), nullptr);
    context.TargetDir(tmp / "out", error)->NoUnnamed = true;

    // The temporary is made with the source's mode: where the umask took bits from it, they
    // are put back.
    const mode_t oldUmask = ::umask(022);
    ASSERT_EQ(::chmod((tmp / "src").c_str(), 0666), 0);
    ASSERT_EQ(CopyFileWithProgress(tmp / "src", tmp / "out/new", TCopyOptions{}, &context).Error,
              0);
    ::umask(oldUmask);
    EXPECT_EQ(ReadFile(tmp / "out/new"), data);
    struct stat st;
    ASSERT_EQ(::stat((tmp / "out/new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    WriteFile(tmp / "out/old", "the old target");
    TRecorder rec;
    rec.CancelOnFirstChunk = true;
    EXPECT_EQ(CopyFileWithProgress(tmp / "src", tmp / "out/old", rec.Options(), &context).Error,
              ECANCELED);
    EXPECT_EQ(ReadFile(tmp / "out/old"), "the old target");
    ASSERT_EQ(CopyFileWithProgress(tmp / "src", tmp / "out/old", TCopyOptions{}, &context).Error,
              0);
    EXPECT_EQ(ReadFile(tmp / "out/old"), data);
    // The file itself as its target is refused, by a copy on its own and by a run's: a
    // small file when its name is taken, one large enough for a partial (sparse here)
    // before its copy.
    WriteFile(tmp / "out/big", "b");
    ASSERT_EQ(::truncate((tmp / "out/big").c_str(), ResumableFrom), 0);
    TFilledTargets filled;
    TCopyOptions inRun;
    inRun.Filled = &filled;
    for (const char* self : {"out/new", "out/big"})
        for (const TCopyOptions& options : {TCopyOptions{}, inRun})
            EXPECT_EQ(CopyFileWithProgress(tmp / self, tmp / self, options, &context).Error,
                      errSameFile)
                << self;
    EXPECT_EQ(ReadFile(tmp / "out/new"), data);
    EXPECT_TRUE(context.TargetDir(tmp / "out", error)->NoUnnamed);
    auto names = NamesIn(tmp / "out");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"big", "new", "old"}));
}

// A context keeps the directories of recent copies open; copies that change directory,
// and the refusals, work through it just the same.
TEST(CopyFile, ContextLooksUpEachDirectoryOnce) {
    TTempDir tmp;
    MakeDir(tmp / "in");
    MakeDir(tmp / "out");
    MakeDir(tmp / "out2");
    for (int i = 0; i < 10; ++i)
        WriteFile(tmp / "in/" + std::to_string(i), PatternBytes(100 + i, unsigned(i)));
    TCopyContext context;
    for (int i = 0; i < 10; ++i) {
        std::string name = std::to_string(i);
        ASSERT_EQ(
            CopyFileWithProgress(tmp / "in/" + name, tmp / "out/" + name, TCopyOptions{}, &context)
                .Error,
            0);
    }
    EXPECT_EQ(context.DirectoryOpens(), 2);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(ReadFile(tmp / "out/" + std::to_string(i)), PatternBytes(100 + i, unsigned(i)));

    // Alternating targets, an existing target, and the same file through the cache.
    ASSERT_EQ(CopyFileWithProgress(tmp / "in/1", tmp / "out2/1", TCopyOptions{}, &context).Error,
              0);
    ASSERT_EQ(CopyFileWithProgress(tmp / "in/2", tmp / "out/1", TCopyOptions{}, &context).Error, 0);
    EXPECT_EQ(context.DirectoryOpens(), 3) << "folders taking turns stay open";
    EXPECT_EQ(ReadFile(tmp / "out/1"), PatternBytes(102, 2u));
    EXPECT_EQ(ReadFile(tmp / "out2/1"), PatternBytes(101, 1u));
    EXPECT_EQ(CopyFileWithProgress(tmp / "in/3", tmp / "in/3", TCopyOptions{}, &context).Error,
              errSameFile);
    EXPECT_EQ(ReadFile(tmp / "in/3"), PatternBytes(103, 3u));
    EXPECT_EQ(CopyFileWithProgress(tmp / "in/3", tmp / "no-such/3", TCopyOptions{}, &context).Error,
              ENOENT);
    TCopyResult r = CopyFileWithProgress(tmp / "in/4", tmp / "out/4", TCopyOptions{}, &context);
    ASSERT_EQ(r.Error, 0);
    EXPECT_EQ(SourceStateOf(r.Copied), TSourceState::Copied);
    EXPECT_EQ(SourceStateOf({nullptr, tmp / "out/4", r.Source}), TSourceState::Other);
    ExpectNoTempFiles(tmp / "out");

    // A directory replaced since the last copy is looked up again.
    ASSERT_EQ(::rename((tmp / "out").c_str(), (tmp / "out-old").c_str()), 0);
    MakeDir(tmp / "out");
    ASSERT_EQ(CopyFileWithProgress(tmp / "in/5", tmp / "out/5", TCopyOptions{}, &context).Error, 0);
    EXPECT_EQ(ReadFile(tmp / "out/5"), PatternBytes(105, 5u));
    EXPECT_EQ(NamesIn(tmp / "out").size(), 1u);

    // A source directory replaced since: the file is read where its path leads, whether
    // the old directory has a file of that name or not; a Move's source is taken from where
    // the path leads even where the old directory holds the same file under that name; a
    // symbolic link too, whose own lookup proves nothing about the directory.
    const struct {
        const char* Name;
        bool InOld, Linked, Move, Symbolic;
    } replaced[] = {
        {"6", true, false, false, false},
        {"7", false, false, false, false},
        {"8", true, true, true, false},
        {"9", true, false, false, true},
    };
    // What the copy must match: the file's bytes, or the link's text.
    auto seen = [](const std::string& path) {
        char link[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), link, sizeof link);
        return n >= 0 ? "-> " + std::string(link, size_t(n)) : ReadFile(path);
    };
    for (const auto& c : replaced) {
        const std::string old = tmp / "in-old" + c.Name;
        auto make = [&](const std::string& path, const std::string& text) {
            if (c.Symbolic)
                ASSERT_EQ(::symlink(text.c_str(), path.c_str()), 0);
            else
                WriteFile(path, text);
        };
        make(tmp / "in/" + c.Name, "old " + std::string(c.Name));
        ASSERT_EQ(::rename((tmp / "in").c_str(), old.c_str()), 0);
        MakeDir(tmp / "in");
        const std::string path = tmp / "in/" + c.Name;
        if (c.Linked) {
            ASSERT_EQ(::link((old + "/" + c.Name).c_str(), path.c_str()), 0);
        } else {
            make(path, "new " + std::string(c.Name));
        }
        if (!c.InOld) {
            ASSERT_EQ(::unlink((old + "/" + c.Name).c_str()), 0);
        }
        TCopyOptions options;
        options.Move = c.Move;
        TCopyResult r = CopyFileWithProgress(path, tmp / "out/" + c.Name, options, &context);
        ASSERT_EQ(r.Error, 0) << c.Name;
        EXPECT_EQ(seen(tmp / "out/" + c.Name), seen(path)) << c.Name;
        if (c.Move) {
            ASSERT_EQ(UnlinkCopiedSource(r.Copied), 0);
            EXPECT_FALSE(Exists(path)) << "the name the line gave goes";
            EXPECT_TRUE(Exists(old + "/" + c.Name)) << "the old directory's stays";
        }
    }
}

// A source whose whole path is longer than the kernel walks at once (its directory's is
// not) is copied through its directory, opened afresh and then from the cache.
TEST(CopyFile, SourceLongerThanOnePathWalkIsCopied) {
    TTempDir tmp;
    std::string dir = tmp.Path();
    while (dir.size() < PATH_MAX - 250) {
        dir += "/" + std::string(200, 'd');
        MakeDir(dir);
    }
    const std::string name(250, 'n');
    const TFd parent(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(parent);
    // Beyond what the clean-up reaches by path.
    struct TRemoved {
        int Dir;
        const char* Name;
        ~TRemoved() { ::unlinkat(Dir, Name, 0); }
    } removed{parent.Get(), name.c_str()};
    {
        const TFd file(::openat(parent.Get(), name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        ASSERT_TRUE(file);
        ASSERT_EQ(::write(file.Get(), "long", 4), 4);
    }
    const std::string source = dir + "/" + name;
    ASSERT_GT(source.size(), size_t(PATH_MAX));
    TCopyContext context;
    for (const char* copy : {"first", "second"}) {
        TCopyResult r = CopyFileWithProgress(source, tmp / copy, TCopyOptions{}, &context);
        EXPECT_EQ(r.Error, 0) << copy << ": " << SysErrorMessage(r.Error);
        EXPECT_EQ(ReadFile(tmp / copy), "long") << copy;
    }
}

// A run never replaces what it filled from another source. Where the file system may
// renumber files the name is remembered too, so a file in its place (as a renumbered one
// looks) is still refused; where it keeps numbers, another file there is the policy's.
TEST(CopyFile, RunNeverReplacesWhatItFilledFromAnotherSource) {
    // On file systems that keep file numbers and those that may change them, with unnamed
    // files and with named temporaries (a share: numbers unstable, no unnamed files).
    for (const auto& [stable, unnamed] :
         {std::pair{false, true}, {true, true}, {false, false}, {true, false}}) {
        SCOPED_TRACE(std::string(stable ? "stable" : "unstable") +
                     (unnamed ? ", unnamed" : ", named"));
        TTempDir tmp;
        MakeDir(tmp / "out");
        WriteFile(tmp / "a", "a");
        WriteFile(tmp / "b", "b");
        TFilledTargets filled;
        TCopyContext context;
        int error = 0;
        context.TargetDir(tmp / "out", error)->StableInodes = stable;
        // A share: a free name is taken by a hard link.
        context.TargetDir(tmp / "out", error)->NoUnnamed = !unnamed;
        context.TargetDir(tmp / "out", error)->NoReplaceRefused = !unnamed;
        TCopyOptions options;
        options.Filled = &filled;
        ASSERT_EQ(CopyFileWithProgress(tmp / "a", tmp / "out/t", options, &context).Error, 0);
        EXPECT_EQ(CopyFileWithProgress(tmp / "b", tmp / "out/t", options, &context).Error,
                  errJustCopiedOther);
        WriteFile(tmp / "other", "other");
        ASSERT_EQ(::rename((tmp / "other").c_str(), (tmp / "out/t").c_str()), 0);
        EXPECT_EQ(CopyFileWithProgress(tmp / "b", tmp / "out/t", options, &context).Error,
                  stable ? 0 : errJustCopiedOther);
        EXPECT_EQ(ReadFile(tmp / "out/t"), stable ? "b" : "other");
        EXPECT_EQ(NamesIn(tmp / "out"), std::vector<std::string>{"t"}) << "nothing left beside it";
    }
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
    // Opened without blocking it would not hang the copy, but the kernel tells of any open.
    TFd opens(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_TRUE(opens);
    ASSERT_GE(::inotify_add_watch(opens.Get(), (tmp / "fifo").c_str(), IN_OPEN), 0);
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
    char events[4096];
    EXPECT_LT(::read(opens.Get(), events, sizeof events), 0) << "the fifo was opened";
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

// Keep both: every copy onto a taken name gets a free name of its own, however many
// copies and other programs race for the free ones; nothing is overwritten.
TEST(CopyFile, KeepBothTakesAFreeNameEvenAgainstOtherWriters) {
    EXPECT_EQ(NumberedName("photo.jpg", 2), "photo (2).jpg");
    EXPECT_EQ(NumberedName(".bashrc", 3), ".bashrc (3)");
    EXPECT_EQ(NumberedName("README", 12), "README (12)");
    for (bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed file" : "named temporary");
        TTempDir tmp;
        MakeDir(tmp / "out");
        WriteFile(tmp / "out/photo.jpg", "the old one");
        constexpr int Copies = 6;
        for (int i = 0; i < Copies; ++i)
            WriteFile(tmp / ("in" + std::to_string(i)), PatternBytes(200000 + i, unsigned(i)));
        std::atomic<int> failures{0}, othersMade{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < Copies; ++i)
            threads.emplace_back([&, i] {
                TCopyContext context;
                int error = 0;
                if (auto* dir = context.TargetDir(tmp / "out", error); dir && !unnamed)
                    dir->NoUnnamed = true;
                TCopyOptions options;
                options.Existing = TExistingTargets::KeepBoth;
                const TCopyResult r = CopyFileWithProgress(
                    tmp / ("in" + std::to_string(i)), tmp / "out/photo.jpg", options, &context);
                if (r.Error != 0 || r.TargetName.empty())
                    ++failures;
            });
        // Another program taking numbered names as it finds them free.
        threads.emplace_back([&] {
            for (int n = 2; n < 2 * Copies; ++n) {
                const std::string name = tmp / ("out/" + NumberedName("photo.jpg", n));
                int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
                if (fd >= 0) {
                    ++othersMade;
                    EXPECT_EQ(::write(fd, "theirs", 6), 6);
                    ::close(fd);
                }
            }
        });
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(failures, 0);
        EXPECT_EQ(ReadFile(tmp / "out/photo.jpg"), "the old one");
        std::vector<std::string> contents;
        for (const auto& name : NamesIn(tmp / "out"))
            contents.push_back(ReadFile(tmp / ("out/" + name)));
        ASSERT_EQ(contents.size(), size_t(1 + Copies + othersMade));
        EXPECT_EQ(std::count(contents.begin(), contents.end(), "theirs"), othersMade.load());
        for (int i = 0; i < Copies; ++i)
            EXPECT_EQ(
                std::count(contents.begin(), contents.end(), PatternBytes(200000 + i, unsigned(i))),
                1)
                << "copy " << i;
    }
}

// A verified copy that reads back other than it was written never gets the name: an old
// target stays as it was and nothing is left behind. Intact copies pass, holes and all.
TEST(CopyFile, VerificationRefusesACopyThatReadsBackWrong) {
    struct TCase {
        const char* What;
        bool Unnamed, OldTarget, Sparse;
        off_t Spoil;   // the offset of the byte spoiled after the write; -1 none
        off_t Odd = 0; // a hole of this many bytes more, and data after it
    };
    constexpr off_t Size = 8 << 20;
    for (TCase c :
         {TCase{"intact", true, false, false, -1}, TCase{"intact sparse", true, true, true, -1},
          TCase{"a hole of no whole number of blocks", true, false, true, -1, 12345},
          TCase{"spoiled", true, true, false, 12345},
          TCase{"spoiled in a hole", true, false, true, Size - 10},
          TCase{"spoiled, named temporary", false, true, false, 0}}) {
        SCOPED_TRACE(c.What);
        TTempDir tmp;
        MakeDir(tmp / "out");
        const std::string data = PatternBytes(1 << 20);
        WriteFile(tmp / "src", data);
        if (c.Sparse) {
            ASSERT_EQ(::truncate((tmp / "src").c_str(), Size + c.Odd), 0); // a hole to the end
            if (c.Odd) {
                const int fd = ::open((tmp / "src").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
                ASSERT_EQ(::write(fd, data.data(), 1000), 1000);
                ::close(fd);
            }
        }
        const std::string source = ReadFile(tmp / "src");
        if (c.OldTarget)
            WriteFile(tmp / "out/t", "the old one");
        TCopyContext context;
        int error = 0;
        ASSERT_NE(context.TargetDir(tmp / "out", error), nullptr);
        context.TargetDir(tmp / "out", error)->NoUnnamed = !c.Unnamed;
        TCopyOptions options;
        options.Verify = true;
        if (c.Spoil >= 0)
            options.AfterWriteForTesting = [&](int fd) {
                const char bad = char(~source[size_t(c.Spoil)]);
                EXPECT_EQ(::pwrite(fd, &bad, 1, c.Spoil), 1);
            };
        const int expected = c.Spoil >= 0 ? errVerificationFailed : 0;
        EXPECT_EQ(CopyFileWithProgress(tmp / "src", tmp / "out/t", options, &context).Error,
                  expected);
        if (expected == 0)
            EXPECT_TRUE(ReadFile(tmp / "out/t") == source) << "the copy differs";
        else if (c.OldTarget)
            EXPECT_EQ(ReadFile(tmp / "out/t"), "the old one");
        else
            EXPECT_FALSE(Exists(tmp / "out/t"));
        ExpectNoTempFiles(tmp / "out");
    }
}

} // namespace
} // namespace ferrox

namespace ferrox {
namespace {

// Newer replaces a target only when the source's time is later, as precisely as the
// target's file system keeps times (one without fractions of a second: whole seconds);
// sizes do not count, so a longer old source never replaces a newer target.
TEST(CopyFile, NewerReplacesOnlyATargetOlderThanItsSource) {
    struct TCase {
        const char* What;
        timespec Source, Target;
        const char* SourceData;
        bool Replaced;
    };
    const time_t t = 1700000000;
    for (TCase c :
         {TCase{"a second later", {t + 1, 0}, {t, 0}, "new", true},
          {"a nanosecond later", {t, 501}, {t, 500}, "new", true},
          {"equal time and size", {t, 500}, {t, 500}, "old", false},
          {"equal time, another size", {t, 500}, {t, 500}, "longer", false},
          {"older and longer", {t - 100, 0}, {t, 0}, "much longer", false},
          {"later within the second a target keeps", {t, 300000000}, {t, 0}, "new", false},
          {"later by more than the second", {t + 1, 300000000}, {t, 0}, "new", true},
          {"before 1970, later", {-10, 500}, {-11, 0}, "new", true}}) {
        SCOPED_TRACE(c.What);
        TTempDir tmp;
        MakeDir(tmp / "out");
        WriteFile(tmp / "src", c.SourceData);
        WriteFile(tmp / "out/src", "old");
        timespec source[2] = {c.Source, c.Source}, target[2] = {c.Target, c.Target};
        ASSERT_EQ(::utimensat(AT_FDCWD, (tmp / "src").c_str(), source, 0), 0);
        ASSERT_EQ(::utimensat(AT_FDCWD, (tmp / "out/src").c_str(), target, 0), 0);
        TCopyOptions options;
        options.Existing = TExistingTargets::Newer;
        const TCopyResult r = CopyFileWithProgress(tmp / "src", tmp / "out/src", options);
        EXPECT_EQ(r.Error, 0);
        EXPECT_EQ(r.Skipped, !c.Replaced);
        EXPECT_EQ(ReadFile(tmp / "out/src"), c.Replaced ? c.SourceData : "old");
    }
}

} // namespace
} // namespace ferrox

namespace ferrox {
namespace {

// Where names are reserved before they are taken (exFAT through FUSE), a copy killed between
// the two leaves its reservation under the target's name: the next copy onto that name
// takes it as free, but never the reservation of a copy still going on, nor a file of the
// user's that merely holds such a word.
TEST(CopyFile, AReservationAKilledCopyLeftIsFreeAgain) {
    pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    const TTempWriter& us = ThisTempWriter();
    const std::string deadWord = TempNameOf({us.Machine, us.Boot, gone, 1}, "killed");
    const std::string liveWord = TempNameOf(us, "living");
    std::string forged = deadWord;
    forged[forged.size() - 6] = forged[forged.size() - 6] == '0' ? '1' : '0'; // its check
    struct TCase {
        const char* What;
        std::string Held;
        TExistingTargets Policy;
        bool Taken;
    };
    for (const TCase& c :
         {TCase{"killed, skip", deadWord, TExistingTargets::Skip, true},
          {"killed, keep both", deadWord, TExistingTargets::KeepBoth, true},
          {"killed, newer", deadWord, TExistingTargets::Newer, true},
          {"still going on, skip", liveWord, TExistingTargets::Skip, false},
          {"still going on, keep both", liveWord, TExistingTargets::KeepBoth, false},
          {"the user's, skip", forged, TExistingTargets::Skip, false}}) {
        SCOPED_TRACE(c.What);
        TTempDir tmp;
        MakeDir(tmp / "out");
        WriteFile(tmp / "photo.jpg", "the photo");
        WriteFile(tmp / "out/photo.jpg", c.Held);
        struct timespec later[2] = {{2000000000, 0}, {2000000000, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (tmp / "out/photo.jpg").c_str(), later, 0), 0);
        TCopyOptions options;
        options.Existing = c.Policy;
        const TCopyResult r =
            CopyFileWithProgress(tmp / "photo.jpg", tmp / "out/photo.jpg", options);
        EXPECT_EQ(r.Error, 0);
        EXPECT_EQ(ReadFile(tmp / "out/photo.jpg"), c.Taken ? "the photo" : c.Held);
        EXPECT_EQ(r.TargetName.empty(), c.Taken || c.Policy != TExistingTargets::KeepBoth);
    }

    // No copy may come to that name again (the line moved its file under another name):
    // the sweep for the killed copy's temporary takes its reservation with it, and nothing
    // that only looks like one.
    TTempDir tmp;
    WriteFile(tmp / deadWord, "part of the photo");
    WriteFile(tmp / "photo.jpg", ReservationOf(deadWord));
    WriteFile(tmp / "living.jpg", ReservationOf(liveWord));
    WriteFile(tmp / "forged.jpg", forged);
    const int dir = ::open(tmp.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    EXPECT_EQ(RemoveStaleTemps(dir), 1);
    ::close(dir);
    EXPECT_FALSE(Exists(tmp / deadWord));
    EXPECT_FALSE(Exists(tmp / "photo.jpg"));
    EXPECT_TRUE(Exists(tmp / "living.jpg"));
    EXPECT_TRUE(Exists(tmp / "forged.jpg"));
}

} // namespace
} // namespace ferrox
