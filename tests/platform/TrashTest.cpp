#include "platform/Trash.h"
#include "PlatformTestUtil.h"
#include "platform/Fd.h"
#include "support/TestSupport.h"

#include <atomic>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace ferrox {
namespace {

using namespace test;

// Points the home trash into a temporary directory for one test.
class TrashTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("XDG_DATA_HOME"))
            saved_ = old;
        ::setenv("XDG_DATA_HOME", (tmp_ / "data").c_str(), 1);
        trash_ = tmp_ / "data/Trash";
    }
    void TearDown() override {
        if (saved_)
            ::setenv("XDG_DATA_HOME", saved_->c_str(), 1);
        else
            ::unsetenv("XDG_DATA_HOME");
    }

    // The Path= value of a .trashinfo, checking the rest of its shape on the way.
    static std::string InfoPath(const std::string& infoFile) {
        const std::string text = ReadFile(infoFile);
        const std::string head = "[Trash Info]\nPath=";
        const std::string dateKey = "\nDeletionDate=";
        size_t date = text.find(dateKey);
        EXPECT_EQ(text.rfind(head, 0), 0u) << text;
        EXPECT_NE(date, std::string::npos) << text;
        if (text.rfind(head, 0) != 0 || date == std::string::npos)
            return {};
        // YYYY-MM-DDThh:mm:ss and the closing newline, nothing more.
        std::string when = text.substr(date + dateKey.size());
        const std::string shape = "dddd-dd-ddTdd:dd:dd\n";
        EXPECT_EQ(when.size(), shape.size()) << text;
        for (size_t i = 0; i < when.size() && i < shape.size(); ++i) {
            bool ok = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(when[i])) != 0
                                      : when[i] == shape[i];
            EXPECT_TRUE(ok) << "DeletionDate=" << when;
        }
        return text.substr(head.size(), date - head.size());
    }

    TTempDir tmp_;
    std::string trash_;
    std::optional<std::string> saved_;
};

TEST_F(TrashTest, MovesFileAndWritesInfo) {
    EXPECT_EQ(HomeTrashDir(), trash_);
    const std::string name = "a b%\xff";
    WriteFile(tmp_ / name, "content");

    ASSERT_EQ(MoveToTrash(tmp_ / name), 0);
    EXPECT_FALSE(Exists(tmp_ / name));
    EXPECT_EQ(ReadFile(trash_ + "/files/" + name), "content");
    std::string encoded = InfoPath(trash_ + "/info/" + name + ".trashinfo");
    EXPECT_EQ(encoded, TrashEncodePath(tmp_ / name));
    EXPECT_NE(encoded.find("a%20b%25%FF"), std::string::npos) << encoded;
    EXPECT_EQ(TrashDecodePath(encoded), tmp_ / name);

    for (const char* dir : {"", "/files", "/info"}) {
        struct stat st;
        ASSERT_EQ(::stat((trash_ + dir).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u) << dir;
    }
}

TEST_F(TrashTest, SameNameGetsDistinctEntries) {
    MakeDir(tmp_ / "one");
    MakeDir(tmp_ / "two");
    MakeDir(tmp_ / "three");
    WriteFile(tmp_ / "one/x", "1");
    WriteFile(tmp_ / "two/x", "2");
    WriteFile(tmp_ / "three/x", "3");
    ASSERT_EQ(MoveToTrash(tmp_ / "one/x"), 0);
    ASSERT_EQ(MoveToTrash(tmp_ / "two/x"), 0);
    // A files/ entry left without its info must not be overwritten either.
    WriteFile(trash_ + "/files/x.3", "stray");
    ASSERT_EQ(MoveToTrash(tmp_ / "three/x"), 0);

    EXPECT_EQ(ReadFile(trash_ + "/files/x"), "1");
    EXPECT_EQ(ReadFile(trash_ + "/files/x.2"), "2");
    EXPECT_EQ(ReadFile(trash_ + "/files/x.3"), "stray");
    EXPECT_EQ(ReadFile(trash_ + "/files/x.4"), "3");
    EXPECT_FALSE(Exists(trash_ + "/info/x.3.trashinfo"));
    EXPECT_EQ(TrashDecodePath(InfoPath(trash_ + "/info/x.trashinfo")), tmp_ / "one/x");
    EXPECT_EQ(TrashDecodePath(InfoPath(trash_ + "/info/x.2.trashinfo")), tmp_ / "two/x");
    EXPECT_EQ(TrashDecodePath(InfoPath(trash_ + "/info/x.4.trashinfo")), tmp_ / "three/x");
}

// Trashed through the directory it was read from, renamed since, with another directory
// under its old name: the trash records where the file was, not the path the line names.
TEST_F(TrashTest, ThroughItsDirectoryAFileIsRecordedWhereItWas) {
    MakeDir(tmp_ / "was");
    WriteFile(tmp_ / "was/f", "moved");
    const TFd dir(::open((tmp_ / "was").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir);
    ASSERT_EQ(::rename((tmp_ / "was").c_str(), (tmp_ / "now").c_str()), 0);
    MakeDir(tmp_ / "was");
    ASSERT_EQ(MoveToTrashAt(dir.Get(), "f", tmp_ / "was/f"), 0);
    EXPECT_EQ(ReadFile(trash_ + "/files/f"), "moved");
    char real[PATH_MAX];
    ASSERT_NE(::realpath((tmp_ / "now").c_str(), real), nullptr);
    EXPECT_EQ(TrashDecodePath(InfoPath(trash_ + "/info/f.trashinfo")), std::string(real) + "/f");
}

TEST_F(TrashTest, RelativePathsLinksAndDirectories) {
    WriteFile(tmp_ / "target", "kept");
    ASSERT_EQ(::symlink("target", (tmp_ / "link").c_str()), 0);
    MakeDir(tmp_ / "folder");
    WriteFile(tmp_ / "folder/inside", "i");

    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(tmp_.Path().c_str()), 0);
    int linkResult = MoveToTrash("./link");
    int folderResult = MoveToTrash("folder/");
    ASSERT_EQ(::chdir(cwd), 0);

    ASSERT_EQ(linkResult, 0);
    struct stat st;
    ASSERT_EQ(::lstat((trash_ + "/files/link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadFile(tmp_ / "target"), "kept");
    EXPECT_EQ(TrashDecodePath(InfoPath(trash_ + "/info/link.trashinfo")), tmp_ / "link");

    ASSERT_EQ(folderResult, 0);
    EXPECT_EQ(ReadFile(trash_ + "/files/folder/inside"), "i");
    EXPECT_EQ(TrashDecodePath(InfoPath(trash_ + "/info/folder.trashinfo")), tmp_ / "folder");
}

TEST_F(TrashTest, ConcurrentTrashingOfOneName) {
    constexpr int Threads = 4, Files = 10;
    for (int i = 0; i < Threads * Files; ++i) {
        MakeDir(tmp_ / std::to_string(i));
        WriteFile(tmp_ / std::to_string(i) + "/same", std::to_string(i));
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < Threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = t * Files; i < (t + 1) * Files; ++i)
                if (MoveToTrash(tmp_ / std::to_string(i) + "/same") != 0)
                    ++failures;
        });
    for (auto& w : workers)
        w.join();
    ASSERT_EQ(failures, 0);

    // Every file arrived once, and each info names the file stored beside it.
    std::set<std::string> contents;
    for (const auto& info : NamesIn(trash_ + "/info")) {
        std::string entry = info.substr(0, info.size() - std::string(".trashinfo").size());
        std::string content = ReadFile(trash_ + "/files/" + entry);
        EXPECT_EQ(TrashDecodePath(InfoPath(trash_ + "/info/" + info)), tmp_ / content + "/same");
        contents.insert(content);
    }
    EXPECT_EQ(contents.size(), size_t(Threads * Files));
    EXPECT_EQ(NamesIn(trash_ + "/files").size(), size_t(Threads * Files));
}

TEST_F(TrashTest, FailureLeavesFileAndNoInfo) {
    EXPECT_EQ(MoveToTrash(tmp_ / "missing"), ENOENT);

    // The trash inside the directory being trashed: the rename cannot succeed.
    MakeDir(tmp_ / "outer");
    WriteFile(tmp_ / "outer/f", "f");
    ::setenv("XDG_DATA_HOME", (tmp_ / "outer/data").c_str(), 1);
    EXPECT_NE(MoveToTrash(tmp_ / "outer"), 0);
    EXPECT_EQ(ReadFile(tmp_ / "outer/f"), "f");
    EXPECT_TRUE(NamesIn(tmp_ / "outer/data/Trash/info").empty());
}

TEST(TrashEncoding, EscapesEverythingButUnreservedAndSubDelims) {
    const std::string kept = "/AZaz09-_.~!$&'()*+,;=:@";
    EXPECT_EQ(TrashEncodePath(kept), kept);
    EXPECT_EQ(TrashEncodePath("a b%c\nd\xff#?\x01"), "a%20b%25c%0Ad%FF%23%3F%01");
    std::string all;
    for (int c = 1; c < 256; ++c)
        all += static_cast<char>(c);
    EXPECT_EQ(TrashDecodePath(TrashEncodePath(all)), all);
    // Lower-case hex from other writers, and a '%' that starts no escape.
    EXPECT_EQ(TrashDecodePath("%ff%2a%zz%4"), "\xff*%zz%4");
}

TEST_F(TrashTest, OtherFileSystemUsesItsTopDirectory) {
    TMountedTmpfs disk(tmp_ / "disk", "size=4m");
    if (!disk.Mounted())
        GTEST_SKIP() << "needs root to mount a tmpfs";
    const std::string uid = std::to_string(::getuid());
    MakeDir(tmp_ / "disk/sub");
    WriteFile(tmp_ / "disk/sub/f one", "on the other disk");

    ASSERT_EQ(MoveToTrash(tmp_ / "disk/sub/f one"), 0);
    const std::string own = tmp_ / "disk/.Trash-" + uid;
    EXPECT_FALSE(Exists(tmp_ / "disk/sub/f one"));
    EXPECT_EQ(ReadFile(own + "/files/f one"), "on the other disk");
    EXPECT_EQ(InfoPath(own + "/info/f one.trashinfo"), "sub/f%20one");
    EXPECT_FALSE(Exists(trash_));

    // A shared .Trash without the sticky bit is not to be trusted...
    MakeDir(tmp_ / "disk/.Trash");
    ASSERT_EQ(::chmod((tmp_ / "disk/.Trash").c_str(), 0777), 0);
    WriteFile(tmp_ / "disk/g", "g");
    ASSERT_EQ(MoveToTrash(tmp_ / "disk/g"), 0);
    EXPECT_EQ(ReadFile(own + "/files/g"), "g");

    // ...with it, the user's directory inside it is the trash.
    ASSERT_EQ(::chmod((tmp_ / "disk/.Trash").c_str(), 01777), 0);
    WriteFile(tmp_ / "disk/h", "h");
    ASSERT_EQ(MoveToTrash(tmp_ / "disk/h"), 0);
    const std::string shared = tmp_ / "disk/.Trash/" + uid;
    EXPECT_EQ(ReadFile(shared + "/files/h"), "h");
    EXPECT_EQ(InfoPath(shared + "/info/h.trashinfo"), "h");
}

} // namespace
} // namespace ferrox
