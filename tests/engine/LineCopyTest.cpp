#include "EngineFixture.h"

#include "platform/CopyFile.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/PlatformTestUtil.h"
#include "platform/SysError.h"
#include "platform/Trash.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>

using namespace ferrox;
using namespace ferrox::test;

namespace {
bool OnExt4(const std::string& path) {
    struct statfs fs;
    return ::statfs(path.c_str(), &fs) == 0 && fs.f_type == 0xEF53;
}
} // namespace

// '*', '?' and '[' are bytes of a name: a file holding them is found and copied, and a
// name that would match another file as a pattern does not exist.
TEST_F(TEngineTest, NamesWithPatternCharactersAreExactNames) {
    MakeDir(P("out"));
    WriteFile(P("a[1]*"), "brackets");
    WriteFile(P("photo1.jpg"), "x");
    EXPECT_EQ(LookupPath(P("a[1]*")), 0);
    EXPECT_EQ(LookupPath(P("photo?.jpg")), ENOENT);
    EXPECT_EQ(LookupPath(P("*.jpg")), ENOENT);
    EXPECT_EQ(LookupPath(dir.Path()), 0);
    EXPECT_TRUE(DirExists(dir.Path()));
    EXPECT_FALSE(DirExists(P("photo1.jpg")));

    TLineCopyResult r = Copy(P("a[1]*"), P("out/a[1]*"), false);
    EXPECT_TRUE(r.Ok()) << SysErrorMessage(r.Error);
    EXPECT_EQ(ReadFile(P("out/a[1]*")), "brackets");

    // A missing source reports its own lookup's error, whatever errno held before.
    errno = EOPNOTSUPP;
    r = Copy(P("photo?.jpg"), P("out/photo?.jpg"), false);
    EXPECT_EQ(r.Error, ENOENT);
    EXPECT_TRUE(r.SourceMissing);
    EXPECT_FALSE(Exists(P("out/photo?.jpg")));
    r = Copy(P("photo1.jpg/x"), P("out/x"), false);
    EXPECT_EQ(r.Error, ENOTDIR);
    EXPECT_EQ(events.Failures(), 0u);
    EXPECT_TRUE(TraceEntries().empty());
}

TEST_F(TEngineTest, CopyReplacesAnExistingTargetAndReportsProgress) {
    WriteFile(P("a.txt"), "new content");
    WriteFile(P("b.txt"), "old, longer content that must go");
    TLineCopyResult r = Copy(P("a.txt"), P("b.txt"), false);
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.SourceError, 0);
    EXPECT_EQ(ReadFile(P("b.txt")), "new content");
    EXPECT_EQ(ReadFile(P("a.txt")), "new content");
    EXPECT_EQ(events.Events(),
              (std::vector<std::string>{"started " + P("a.txt"), "finished " + P("a.txt") + " 0"}));
    std::vector<TCopyProgressRec> reports;
    for (TCopyProgressRec rec; run.Progress.ProgressList.First(rec);)
        reports.push_back(rec), run.Progress.ProgressList.RemoveFirst();
    ASSERT_EQ(reports.size(), 3u);
    const TCopyProgressRec& first = reports[0];
    EXPECT_EQ(first.CallbackReason, 1u);
    EXPECT_EQ(first.TotalBytesTransferred, 0);
    EXPECT_EQ(reports[1].CallbackReason, 0u);
    EXPECT_EQ(reports[1].TotalBytesTransferred, 11);
    EXPECT_EQ(reports[2].CallbackReason, REPORT_COPY_ENDED); // the monitor forgets it
    EXPECT_GT(first.StartNs, 0);
    EXPECT_TRUE(TraceEntries().empty());
}

// Nothing to copy is no copy that failed: no failure is told but the end's code.
TEST_F(TEngineTest, MissingSourceFailsWithoutACopyFailure) {
    TLineCopyResult r = Copy(P("none.txt"), P("out.txt"), true);
    EXPECT_EQ(r.Error, ENOENT);
    EXPECT_EQ(events.Events(), (std::vector<std::string>{"started " + P("none.txt"),
                                                         "finished " + P("none.txt") + " " +
                                                             std::to_string(ENOENT)}));
}

TEST_F(TEngineTest, FailedCopyIsToldAndNeverRemovesTheSource) {
    WriteFile(P("x.txt"), "keep me");
    std::string target = P("missing-dir/x.txt");
    TLineCopyResult r = Copy(P("x.txt"), target, true);
    EXPECT_EQ(r.Error, ENOENT);
    EXPECT_FALSE(r.SourceMissing);
    EXPECT_EQ(ReadFile(P("x.txt")), "keep me");
    EXPECT_EQ(events.Count("copy failed " + P("x.txt") + " " + std::to_string(ENOENT)), 1u);
}

TEST_F(TEngineTest, MoveSendsTheSourceToTheTrashWhereItCanBeRestored) {
    MakeDir(P("out"));
    WriteFile(P("moved file.txt"), "data");
    ASSERT_EQ(::chmod(P("moved file.txt").c_str(), 0444), 0); // read-only source too
    TLineCopyResult r = Copy(P("moved file.txt"), P("out/moved file.txt"), true);
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.SourceError, 0);
    EXPECT_FALSE(Exists(P("moved file.txt")));
    EXPECT_EQ(ReadFile(P("out/moved file.txt")), "data");
    std::string trash = P("xdg/Trash");
    EXPECT_EQ(ReadFile(trash + "/files/moved file.txt"), "data");
    std::string info = ReadFile(trash + "/info/moved file.txt.trashinfo");
    EXPECT_NE(info.find("Path=" + TrashEncodePath(P("moved file.txt")) + "\n"), std::string::npos);
}

TEST_F(TEngineTest, MoveWithoutTrashDeletesForGood) {
    MakeDir(P("out"));
    WriteFile(P("gone.txt"), "data");
    TLineCopyResult r = Copy(P("gone.txt"), P("out/gone.txt"), true, {.DeleteToRecycle = false});
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.SourceError, 0);
    EXPECT_FALSE(Exists(P("gone.txt")));
    EXPECT_FALSE(Exists(P("xdg/Trash/files/gone.txt")));
    EXPECT_EQ(ReadFile(P("out/gone.txt")), "data");
}

TEST_F(TEngineTest, FileCopiedOntoItselfIsRefusedAndKept) {
    MakeDir(P("d"));
    WriteFile(P("d/same.txt"), "precious");
    ASSERT_EQ(::link(P("d/same.txt").c_str(), P("hard.txt").c_str()), 0);
    EXPECT_EQ(Copy(P("d/same.txt"), P("d/./same.txt"), true).Error, errSameFile);
    EXPECT_EQ(Copy(P("hard.txt"), P("d/same.txt"), true).Error, errSameFile);
    EXPECT_EQ(ReadFile(P("d/same.txt")), "precious");
    EXPECT_TRUE(Exists(P("hard.txt")));
}

TEST_F(TEngineTest, AbortInTheMiddleLeavesTheExistingTargetUnharmed) {
    WriteBigFile(P("big.bin"), 256);
    MakeDir(P("out"));
    WriteFile(P("out/big.bin"), "the old target");
    std::thread aborter = WhenCopyStarts(run.Progress, [&] { run.AbortAsked = true; });
    TLineCopyResult r = Copy(P("big.bin"), P("out/big.bin"), true);
    aborter.join();
    EXPECT_EQ(r.Error, ECANCELED);
    EXPECT_EQ(ReadFile(P("out/big.bin")), "the old target");
    EXPECT_TRUE(Exists(P("big.bin"))); // a Move never removes after a failed copy
    int entries = 0;
    EnumerateDirectory(P("out"), [&](const TDirEntry&) { return ++entries, true; });
    EXPECT_EQ(entries, 1); // no temporary file left behind
}

// A Move keeps its source when the target was kept (the line is still done, quietly) and
// when its copy read back wrong (the line fails, an old target stays); a verified copy
// lets it go. A kept target that holds exactly the source's bytes (a copy a run cut off
// before its source went) finishes the Move; one that differs in a byte, or that is the
// source itself under a second name, does not.
TEST_F(TEngineTest, MoveKeepsItsSourceWhenTheTargetIsKeptOrTheCopyReadsBackWrong) {
    struct TCase {
        const char* What;
        TExistingTargets Existing;
        const char* Target; // nullptr: a hard link of the source
        bool Verify, Spoil;
        int Error;
        bool SourceStays;
    };
    const TExistingTargets Skip = TExistingTargets::Skip, Newer = TExistingTargets::Newer,
                           Overwrite = TExistingTargets::Overwrite;
    for (TCase c :
         {TCase{"skipped", Skip, "the old one", false, false, 0, true},
          TCase{"spoiled", Overwrite, "the old one", true, true, errVerificationFailed, true},
          TCase{"verified", Overwrite, "the old one", true, false, 0, false},
          TCase{"skipped twin", Skip, "the new one", false, false, 0, false},
          TCase{"newer twin", Newer, "the new one", false, false, 0, false},
          TCase{"near twin", Skip, "the new onE", false, false, 0, true},
          TCase{"longer twin", Skip, "the new one!", false, false, 0, true},
          TCase{"itself", Skip, nullptr, false, false, 0, true}}) {
        SCOPED_TRACE(c.What);
        const std::string source = P(std::string(c.What) + ".txt");
        const std::string target = P(std::string("out/") + c.What + ".txt");
        MakeDirectories(P("out"));
        WriteFile(source, "the new one");
        if (c.Target)
            WriteFile(target, c.Target);
        else
            ASSERT_EQ(::link(source.c_str(), target.c_str()), 0);
        // A target written after the source: Newer leaves it.
        const struct timespec old[2] = {{1'600'000'000, 0}, {1'600'000'000, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, source.c_str(), old, 0), 0);
        events.Clear();
        TLineCopyOptions options;
        options.Existing = c.Existing;
        options.Verify = c.Verify;
        if (c.Spoil)
            options.AfterWriteForTesting = [](int fd) { EXPECT_EQ(::pwrite(fd, "N", 1, 4), 1); };
        const TLineCopyResult r = Copy(source, target, true, options);
        EXPECT_EQ(r.Error, c.Error);
        EXPECT_EQ(r.Skipped, c.Existing != Overwrite);
        EXPECT_EQ(Exists(source), c.SourceStays);
        EXPECT_EQ(r.SourceGone, !c.SourceStays);
        const std::string before = c.Target ? c.Target : "the new one";
        EXPECT_EQ(ReadFile(target),
                  c.Existing != Overwrite || c.SourceStays ? before : "the new one");
        EXPECT_EQ(events.Count("copy failed " + source + " " + std::to_string(c.Error)),
                  c.Error ? 1u : 0u);
        EXPECT_EQ(events.Count("skipped " + target), r.Skipped ? 1u : 0u);
    }
}

// A copy that is not the whole source never costs a Move its source: one whose source grew
// while it was read fails and leaves an old target as it was; one whose target refused some
// of the extended attributes stands, but the log says so and the source stays.
TEST_F(TEngineTest, CopiesThatAreNotWholeKeepAMovedSource) {
    WriteBigFile(P("growing.bin"), 256);
    MakeDir(P("out"));
    WriteFile(P("out/growing.bin"), "the old target");
    std::thread writer = WhenCopyStarts(run.Progress, [&] {
        int fd = ::open(P("growing.bin").c_str(), O_WRONLY | O_APPEND);
        ASSERT_EQ(::write(fd, "more", 4), 4);
        ::close(fd);
    });
    TLineCopyResult r = Copy(P("growing.bin"), P("out/growing.bin"), true);
    writer.join();
    EXPECT_EQ(r.Error, errSourceChangedDuringCopy);
    EXPECT_TRUE(Exists(P("growing.bin")));
    EXPECT_EQ(ReadFile(P("out/growing.bin")), "the old target");
    EXPECT_EQ(events.Count("copy failed " + P("growing.bin") + " " +
                           std::to_string(errSourceChangedDuringCopy)),
              1u);

    // tmpfs keeps thousands of attributes; the test directory's ext4 keeps about a hundred.
    TMountedTmpfs shm(P("shm"), "size=32m");
    if (!shm.Mounted() || !OnExt4(P("out")))
        GTEST_SKIP() << "needs root for a tmpfs source and ext4 under the test directory";
    WriteFile(P("shm/tagged"), "data");
    for (int i = 0; i < 2001; ++i) {
        const std::string value(i == 0 ? 65000 : 10, 'v');
        ASSERT_EQ(::setxattr(P("shm/tagged").c_str(), ("user.tag" + std::to_string(i)).c_str(),
                             value.data(), value.size(), 0),
                  0);
    }
    events.Clear();
    r = Copy(P("shm/tagged"), P("out/tagged"), true);
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.SourceError, errAttributesIncomplete);
    EXPECT_TRUE(Exists(P("shm/tagged")));
    EXPECT_EQ(ReadFile(P("out/tagged")), "data");
    const std::vector<std::string> told = events.Events();
    ASSERT_EQ(told.size(), 4u);
    EXPECT_EQ(told[1].rfind("attributes " + P("shm/tagged") + " to " + P("out/tagged") + " ", 0),
              0u);
    EXPECT_EQ(told[2],
              "not removed " + P("shm/tagged") + " " + std::to_string(errAttributesIncomplete));

    // Copied beside the target it found, the log names the file that lacks them, not the
    // one left as it was.
    events.Clear();
    TLineCopyOptions keepBoth;
    keepBoth.Existing = TExistingTargets::KeepBoth;
    r = Copy(P("shm/tagged"), P("out/tagged"), true, keepBoth);
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.SourceError, errAttributesIncomplete);
    const std::vector<std::string> beside = events.Events();
    ASSERT_EQ(beside.size(), 5u);
    EXPECT_EQ(beside[1], "copied as " + P("out/tagged (2)"));
    EXPECT_EQ(
        beside[2].rfind("attributes " + P("shm/tagged") + " to " + P("out/tagged (2)") + " ", 0),
        0u);
}

// A link re-pointed while a moved file is copied: the file removed is the one copied,
// reached through the directory it was read from, never what the path names by then.
TEST_F(TEngineTest, MoveRemovesTheFileItCopiedWhereverThePathLeadsNow) {
    MakeDir(P("v1"));
    MakeDir(P("v2"));
    MakeDir(P("out"));
    WriteBigFile(P("v1/big"), 64);
    WriteFile(P("v2/big"), "never copied");
    ASSERT_EQ(::symlink(P("v1").c_str(), P("cur").c_str()), 0);
    TCopyContext context; // the run's: it keeps directories open between lines
    std::thread relink = WhenCopyStarts(run.Progress, [&] {
        ASSERT_EQ(::symlink(P("v2").c_str(), P("cur.tmp").c_str()), 0);
        ASSERT_EQ(::rename(P("cur.tmp").c_str(), P("cur").c_str()), 0);
    });
    TLineCopyResult r =
        Copy(P("cur/big"), P("out/big"), true, {.DeleteToRecycle = false, .Context = &context});
    relink.join();
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.SourceError, 0) << SysErrorMessage(r.SourceError);
    EXPECT_FALSE(Exists(P("v1/big")));
    EXPECT_EQ(ReadFile(P("v2/big")), "never copied");
}

// A Move whose source cannot be removed: the copy stands, but the result and the log say
// that the source stayed, and why.
TEST_F(TEngineTest, MoveWhoseSourceCannotBeRemovedSaysSo) {
    MakeDir(P("locked"));
    MakeDir(P("out"));
    WriteFile(P("locked/stays.txt"), "data");
    // A read-only directory stops an ordinary user; root needs the immutable flag.
    bool immutable = ::geteuid() == 0;
    if (immutable) {
        int fd = ::open(P("locked/stays.txt").c_str(), O_RDONLY);
        int flags = 0;
        bool set = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                   (flags |= FS_IMMUTABLE_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
        if (fd >= 0)
            ::close(fd);
        if (!set)
            GTEST_SKIP() << "the file system has no immutable flag";
    } else {
        ASSERT_EQ(::chmod(P("locked").c_str(), 0555), 0);
    }
    for (bool toTrash : {true, false}) {
        events.Clear();
        TLineCopyResult r =
            Copy(P("locked/stays.txt"), P("out/stays.txt"), true, {.DeleteToRecycle = toTrash});
        EXPECT_TRUE(r.Ok()) << toTrash;
        EXPECT_EQ(r.SourceError, immutable ? EPERM : EACCES) << toTrash;
        EXPECT_EQ(ReadFile(P("out/stays.txt")), "data");
        EXPECT_TRUE(Exists(P("locked/stays.txt")));
        EXPECT_EQ(events.Count("not removed " + P("locked/stays.txt") + " " +
                               std::to_string(r.SourceError)),
                  1u)
            << toTrash;
    }
    if (immutable) {
        int fd = ::open(P("locked/stays.txt").c_str(), O_RDONLY);
        int flags = 0;
        ::ioctl(fd, FS_IOC_GETFLAGS, &flags);
        flags &= ~FS_IMMUTABLE_FL;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        ::close(fd);
    } else {
        ::chmod(P("locked").c_str(), 0755);
    }
}

// A directory made by the copy is as private as its source (less the umask), and a
// read-only source directory still gets its files copied into it.
TEST_F(TEngineTest, CopiedDirectoriesKeepTheirSourceMode) {
    MakeDir(P("private"));
    MakeDir(P("private/readonly"));
    WriteFile(P("private/readonly/f"), "x");
    ASSERT_EQ(::chmod(P("private").c_str(), 0700), 0);
    ASSERT_EQ(::chmod(P("private/readonly").c_str(), 0550), 0);
    MakeDir(P("out"));
    AddPair(P("private"), P("out"), true);
    mode_t old = ::umask(022);
    RunToEnd();
    ::umask(old);
    struct stat st;
    ASSERT_EQ(::stat(P("out/private").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(::stat(P("out/private/readonly").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    EXPECT_EQ(ReadFile(P("out/private/readonly/f")), "x");
    ::chmod(P("private/readonly").c_str(), 0755);
}
