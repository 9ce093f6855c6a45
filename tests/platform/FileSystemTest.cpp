#include "platform/FileSystem.h"
#include "PlatformTestUtil.h"
#include "platform/DeviceKind.h"
#include "platform/SysError.h"
#include "support/TestSupport.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace ferrox {
namespace {

using namespace test;

TEST(EnumerateDirectory, ReturnsRawNamesAndKinds) {
    TTempDir tmp;
    const std::string dir = tmp / "d";
    MakeDir(dir);
    WriteFile(dir + "/line\nbreak", "");
    WriteFile(dir + "/byte\xff", "");
    WriteFile(dir + "/-dash", "");
    WriteFile(dir + "/100%", "");
    WriteFile(dir + "/.dotfile", "");
    MakeDir(dir + "/sub");
    ASSERT_EQ(::symlink("sub", (dir + "/link-to-dir").c_str()), 0);
    ASSERT_EQ(::symlink("/no/such", (dir + "/dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);

    std::map<std::string, TEntryKind> seen;
    int error = EnumerateDirectory(dir, [&](const TDirEntry& e) {
        EXPECT_TRUE(seen.emplace(e.Name, e.Kind).second) << "twice: " << e.Name;
        return true;
    });
    ASSERT_EQ(error, 0);
    const std::map<std::string, TEntryKind> expected = {
        {"line\nbreak", TEntryKind::File},    {"byte\xff", TEntryKind::File},
        {"-dash", TEntryKind::File},          {"100%", TEntryKind::File},
        {".dotfile", TEntryKind::File},       {"sub", TEntryKind::Directory},
        {"link-to-dir", TEntryKind::Symlink}, {"dangling", TEntryKind::Symlink},
        {"fifo", TEntryKind::Special},
    };
    EXPECT_EQ(seen, expected);
}

TEST(EnumerateDirectory, StopsEarlyAndReportsErrors) {
    TTempDir tmp;
    for (int i = 0; i < 5; ++i)
        WriteFile(tmp / std::to_string(i), "");
    int calls = 0;
    EXPECT_EQ(EnumerateDirectory(tmp.Path(), [&](const TDirEntry&) { return ++calls < 2; }), 0);
    EXPECT_EQ(calls, 2);

    calls = 0;
    EXPECT_EQ(EnumerateDirectory(tmp / "missing", [&](const TDirEntry&) { return ++calls, true; }),
              ENOENT);
    EXPECT_EQ(EnumerateDirectory(tmp / "0", [&](const TDirEntry&) { return ++calls, true; }),
              ENOTDIR);
    EXPECT_EQ(calls, 0);
}

TEST(Path, SlashesAndNames) {
    std::string empty, dir = "/dir", slashed = "/dir/";
    AddSlash(empty);
    AddSlash(dir);
    AddSlash(slashed);
    EXPECT_EQ(empty, "");
    EXPECT_EQ(dir, "/dir/");
    EXPECT_EQ(slashed, "/dir/");
    EXPECT_EQ(WithTrailingSlash(""), "");
    EXPECT_EQ(WithTrailingSlash("/dir"), "/dir/");
    EXPECT_EQ(WithTrailingSlash("/dir/"), "/dir/");

    EXPECT_EQ(NamePart("/a/b/name.txt"), "name.txt");
    EXPECT_EQ(NamePart("/a/b/"), "");
}

TEST(FileSystem, LookupIsExactAndSaysWhy) {
    TTempDir tmp;
    WriteFile(tmp / "a.txt", "");
    WriteFile(tmp / "photo1.jpg", "");
    WriteFile(tmp / "a[1]*", "");
    ASSERT_EQ(::symlink("/no/such", (tmp / "dangling").c_str()), 0);

    EXPECT_EQ(LookupPath(tmp / "a[1]*"), 0);
    EXPECT_EQ(LookupPath(tmp / "dangling"), 0);
    for (const char* pattern : {"*.txt", "photo?.jpg", "photo[1].jpg", "*"})
        EXPECT_EQ(LookupPath(tmp / pattern), ENOENT) << pattern;
    EXPECT_EQ(LookupPath(tmp / "a.txt/x"), ENOTDIR);

    EXPECT_EQ(CheckDirectory(tmp.Path()), 0);
    EXPECT_EQ(CheckDirectory(tmp / "a.txt"), ENOTDIR);
    EXPECT_EQ(CheckDirectory(tmp / "missing"), ENOENT);
    EXPECT_EQ(GetFileIdentity(tmp / "missing").Error, ENOENT);
    EXPECT_EQ(GetFileIdentityFollow(tmp / "dangling").Error, ENOENT);
}

TEST(FileSystem, IdentityAndDirectoryChecks) {
    TTempDir tmp;
    WriteFile(tmp / "file", "12345");
    MakeDir(tmp / "dir");
    ASSERT_EQ(::symlink("file", (tmp / "link").c_str()), 0);
    ASSERT_EQ(::symlink("dir", (tmp / "dirlink").c_str()), 0);

    EXPECT_TRUE(DirExists(tmp / "dir"));
    EXPECT_TRUE(DirExists(tmp / "dirlink"));
    EXPECT_FALSE(DirExists(tmp / "file"));
    EXPECT_FALSE(DirExists(tmp / "missing"));

    TFileIdentity file = GetFileIdentity(tmp / "file");
    TFileIdentity link = GetFileIdentity(tmp / "link");
    TFileIdentity followed = GetFileIdentityFollow(tmp / "link");
    ASSERT_TRUE(file.Valid && link.Valid && followed.Valid);
    EXPECT_EQ(file.Size, 5);
    EXPECT_NE(link.Inode, file.Inode);
    EXPECT_EQ(followed.Inode, file.Inode);
    EXPECT_EQ(followed.MTimeNs, file.MTimeNs);
    EXPECT_GT(file.MTimeNs, 1000000000LL * 1000000000LL); // nanoseconds, not seconds
    EXPECT_FALSE(GetFileIdentity(tmp / "missing").Valid);
}

TEST(FileSystem, DirectoriesAreMadeWithTheSourceModeLessTheUmask) {
    TTempDir tmp;
    MakeDir(tmp / "private");
    MakeDir(tmp / "shared");
    MakeDir(tmp / "readonly");
    ASSERT_EQ(::chmod((tmp / "private").c_str(), 0700), 0);
    ASSERT_EQ(::chmod((tmp / "shared").c_str(), 01777), 0);
    ASSERT_EQ(::chmod((tmp / "readonly").c_str(), 0555), 0);
    mode_t old = ::umask(022);
    EXPECT_EQ(MakeDirectory(tmp / "p", DirectoryCopyMode(tmp / "private")), 0);
    EXPECT_EQ(MakeDirectory(tmp / "s", DirectoryCopyMode(tmp / "shared")), 0);
    EXPECT_EQ(MakeDirectory(tmp / "r", DirectoryCopyMode(tmp / "readonly")), 0);
    ::umask(077);
    EXPECT_EQ(MakeDirectory(tmp / "s2", DirectoryCopyMode(tmp / "shared")), 0);
    ::umask(old);
    auto modeOf = [&](const std::string& name) {
        struct stat st;
        return ::stat((tmp / name).c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
    };
    EXPECT_EQ(modeOf("p"), 0700u);
    EXPECT_EQ(modeOf("s"), 01755u);
    EXPECT_EQ(modeOf("r"), 0755u); // the owner must be able to fill the copy
    EXPECT_EQ(modeOf("s2"), 01700u);
    EXPECT_EQ(DirectoryCopyMode(tmp / "missing"), 0777u);
}

TEST(FileSystem, CreateRemoveAndMakeWritable) {
    TTempDir tmp;
    EXPECT_EQ(MakeDirectory(tmp / "new"), 0);
    EXPECT_TRUE(DirExists(tmp / "new"));
    EXPECT_EQ(MakeDirectory(tmp / "new"), EEXIST);
    EXPECT_EQ(MakeDirectory(tmp / "no/such"), ENOENT);

    WriteFile(tmp / "ro", "x");
    ASSERT_EQ(::chmod((tmp / "ro").c_str(), 0444), 0);
    WriteFile(tmp / "behind-link", "x");
    ASSERT_EQ(::chmod((tmp / "behind-link").c_str(), 0444), 0);
    ASSERT_EQ(::symlink("behind-link", (tmp / "link").c_str()), 0);

    EXPECT_EQ(MakeOwnerWritable(tmp / "ro"), 0);
    EXPECT_EQ(MakeOwnerWritable(tmp / "link"), 0);
    struct stat st;
    ASSERT_EQ(::stat((tmp / "ro").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    ASSERT_EQ(::stat((tmp / "behind-link").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u) << "chmod went through the link";

    EXPECT_EQ(RemoveFile(tmp / "ro"), 0);
    EXPECT_FALSE(Exists(tmp / "ro"));
    EXPECT_EQ(RemoveFile(tmp / "ro"), ENOENT);
    EXPECT_EQ(MakeOwnerWritable(tmp / "ro"), ENOENT);
}

TEST(FileSystem, ExecutablePathIsThisTest) {
    std::string self = ExecutablePath();
    ASSERT_FALSE(self.empty());
    EXPECT_EQ(self[0], '/');
    EXPECT_NE(self.find("test_platform"), std::string::npos);
    EXPECT_TRUE(Exists(self));
}

TEST(SysError, MessagesHaveNoTrailingPunctuation) {
    EXPECT_EQ(SysErrorMessage(ENOSPC), "No space left on device");
    for (int code : {ENOENT, EACCES, EXDEV, ECANCELED, int(errSameFile), int(errSpecialFile),
                     int(errDirIntoItself), int(errRootDirectory), int(errSourceChanged),
                     int(errNameRefused), int(errNoSymlinks)}) {
        std::string text = SysErrorMessage(code);
        ASSERT_FALSE(text.empty()) << code;
        EXPECT_NE(text.back(), '.') << code;
        EXPECT_NE(text.back(), ' ') << code;
    }
}

} // namespace
} // namespace ferrox

namespace ferrox {
namespace {

// A partition has no queue of its own in sysfs: whether it rotates is its disk's word. A
// partition of a spinning disk read as solid would get files side by side, its head
// seeking between them.
TEST(DeviceKind, APartitionRotatesAsItsDiskDoes) {
    struct TCase {
        const char* What;
        const char* Link;       // what sysfs's dev/block/M:m of the directory's device is
        const char* Rotational; // the disk's queue/rotational
        TDeviceKind Kind;
    };
    for (TCase c :
         {TCase{"a spinning disk", "../../block/sda", "1", TDeviceKind::Rotating},
          {"a partition of a spinning disk", "../../block/sda/sda1", "1", TDeviceKind::Rotating},
          {"a partition of an SSD", "../../block/sda/sda1", "0", TDeviceKind::Solid},
          {"a device sysfs does not know", nullptr, "1", TDeviceKind::Solid}}) {
        SCOPED_TRACE(c.What);
        test::TTempDir sys;
        struct stat st;
        ASSERT_EQ(::stat(sys.Path().c_str(), &st), 0);
        test::RunShell("mkdir -p '" + sys / "dev/block" + "' '" + sys / "block/sda/sda1" + "' '" +
                       sys / "block/sda/queue" + "'");
        test::WriteFile(sys / "block/sda/queue/rotational", std::string(c.Rotational) + "\n");
        const std::string node =
            std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
        if (c.Link) {
            ASSERT_EQ(::symlink(c.Link, (sys / "dev/block/" + node).c_str()), 0);
        }
        dev_t device = 0;
        EXPECT_EQ(DeviceKindUnder(sys.Path(), sys.Path(), device), c.Kind);
        EXPECT_EQ(device, st.st_dev);
    }
}

} // namespace
} // namespace ferrox
