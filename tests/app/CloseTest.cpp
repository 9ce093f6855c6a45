// The window's close box during a copy, in a process of its own: how long the process
// stays, and what a Ferrox started meanwhile finds.
#include "app/WindowProgram.h"
#include "core/FerroxCore.h"
#include "platform/SettingsDir.h"
#include "support/SavedQueue.h"
#include "support/Scratch.h"
#include "support/TestSupport.h"
#include "ui/common/FerroxApplication.h"
#include "ui/modMain/frmMain.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <linux/loop.h>
#include <poll.h>
#include <random>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace ferrox;
using namespace ferrox::test;

namespace {

constexpr const char* ThrottleFile = "/sys/fs/cgroup/blkio/blkio.throttle.write_bps_device";

// A slow disk: ext4 on a loop device whose writes the block layer holds to `bytesPerSecond`
// (cgroup v1's blkio throttle), mounted at dir/slow. Needs root, loop devices, mkfs.ext4
// and that throttle; Missing() says what is missing. Unthrottled, unmounted and detached at
// the end, whatever happened.
class TSlowDisk {
public:
    TSlowDisk(const std::string& dir, uint64_t bytesPerSecond)
        : image_(dir + "/slow.img"), mount_(dir + "/slow") {
        if (::geteuid() != 0)
            missing_ = "root";
        else if (::access(ThrottleFile, W_OK) != 0)
            missing_ = "cgroup v1 blkio throttling";
        else if (!MakeImage())
            missing_ = "an ext4 image (mkfs.ext4)";
        else if (!Attach())
            missing_ = "a free loop device";
        else if (::mkdir(mount_.c_str(), 0755) != 0 ||
                 ::mount(device_.c_str(), mount_.c_str(), "ext4", 0, nullptr) != 0)
            missing_ = "a mounted ext4 file system";
        else
            mounted_ = true;
        if (mounted_)
            Throttle(bytesPerSecond);
    }
    ~TSlowDisk() {
        if (mounted_) {
            Throttle(0);
            if (::umount2(mount_.c_str(), 0) != 0)
                ::umount2(mount_.c_str(), MNT_DETACH);
        }
        if (loop_ >= 0)
            ::close(loop_);
        ::unlink(image_.c_str());
    }
    TSlowDisk(const TSlowDisk&) = delete;
    TSlowDisk& operator=(const TSlowDisk&) = delete;

    const std::string& Missing() const { return missing_; }
    const std::string& Path() const { return mount_; }

private:
    bool MakeImage() {
        int fd = ::open(image_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        bool ok = fd >= 0 && ::ftruncate(fd, int64_t(2) << 30) == 0;
        if (fd >= 0)
            ::close(fd);
        return ok && RunShell("mkfs.ext4 -q -F '" + image_ + "' >/dev/null 2>&1") == 0;
    }
    bool Attach() {
        loop_ = scratch::AttachLoop(image_, device_);
        return loop_ >= 0;
    }
    void Throttle(uint64_t bytesPerSecond) {
        struct stat st;
        if (::stat(device_.c_str(), &st) != 0)
            return;
        const std::string line = std::to_string(major(st.st_rdev)) + ":" +
                                 std::to_string(minor(st.st_rdev)) + " " +
                                 std::to_string(bytesPerSecond) + "\n";
        int fd = ::open(ThrottleFile, O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            [[maybe_unused]] ssize_t n = ::write(fd, line.data(), line.size());
            ::close(fd);
        }
    }

    std::string image_, mount_, device_, missing_;
    int loop_ = -1;
    bool mounted_ = false;
};

void WriteRandomFile(const std::string& path, int mib) {
    std::vector<uint64_t> block(1 << 17);
    std::mt19937_64 rng(7);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < mib; ++i) {
        for (auto& v : block)
            v = rng();
        ASSERT_EQ(::write(fd, block.data(), 1 << 20), ssize_t(1 << 20));
    }
    ::close(fd);
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct TCloseTest : ::testing::Test {
    TTempDir dir;
    void SetUp() override { MakeDir(dir / "prog"); }

    // The window's program in a child process, copying `request` at once; once `moved`
    // bytes of the run are on their way it writes a byte to `closed` and closes the window
    // as the close box does. The child's exit status is the program's.
    pid_t StartWindowToClose(const TQueueRequest& request, int64_t moved, int closed) {
        const pid_t pid = ::fork();
        if (pid != 0)
            return pid;
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::unsetenv("XDG_RUNTIME_DIR");
        SetSettingsDirForTesting(dir / "prog");
        static int argc = 1;
        static char name[] = "ferrox";
        static char* argv[] = {name, nullptr};
        TFerroxApplication app(argc, argv);
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, [&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* frm = qobject_cast<TfrmMain*>(w);
                    frm && frm->isVisible() &&
                    frm->Core().PartsForTesting().Run.Progress.BytesMoved.load() >= moved) {
                    look.stop();
                    [[maybe_unused]] ssize_t n = ::write(closed, "x", 1);
                    frm->close();
                }
        });
        look.start(5);
        TCommandLine command;
        command.Action = TCommandLine::Queue;
        command.Request = request;
        std::_Exit(RunWindow(command, nullptr));
    }
};

// Closed during a copy onto a slow disk, the program ends within a second, though the
// disk takes seconds for what is in flight, and the file in flight leaves nothing under
// its name. A Ferrox started meanwhile shows the queue the closing one held, and adds to
// it, instead of finding it in use.
TEST_F(TCloseTest, TheCloseBoxDuringACopyEndsTheProgramWithinASecond) {
    TSlowDisk disk(dir.Path(), 4 << 20);
    if (!disk.Missing().empty())
        GTEST_SKIP() << "needs " << disk.Missing();
    WriteRandomFile(dir / "big", 100);
    WriteFile(dir / "small", "small");
    const std::string out = disk.Path() + "/out";
    MakeDir(out);
    MakeDir(dir / "out2");
    MakeDir(dir / "run");
    ::chmod((dir / "run").c_str(), 0700);
    std::filesystem::copy_file(FERROX_PATH, dir / "prog/ferrox");
    int closed[2];
    ASSERT_EQ(::pipe2(closed, O_CLOEXEC), 0);
    const pid_t window = StartWindowToClose({{dir / "big"}, out, false, true}, 16 << 20, closed[1]);
    ::close(closed[1]);
    char byte;
    ASSERT_EQ(::read(closed[0], &byte, 1), 1) << "the copy never got going";
    const auto closedAt = std::chrono::steady_clock::now();
    ::close(closed[0]);
    const std::string script = "cd '" + dir.Path() + "' && XDG_RUNTIME_DIR='" + dir / "run" +
                               "' QT_QPA_PLATFORM=offscreen exec '" + dir / "prog/ferrox" +
                               "' --to out2 small </dev/null >/dev/null 2>'" + dir / "second.err'";
    const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
    pid_t second = -1;
    ASSERT_EQ(posix_spawn(&second, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ),
              0);
    int status = 0;
    ASSERT_EQ(::waitpid(window, &status, 0), window);
    const double took = SecondsSince(closedAt);
    EXPECT_LT(took, 1.0) << "seconds from the close box to the end of the program";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // Nothing under the file's name; its partial goes with the process that closes it, which
    // may wait for the disk.
    EXPECT_FALSE(std::filesystem::exists(out + "/big"));
    const auto gone = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!std::filesystem::is_empty(out) && std::chrono::steady_clock::now() < gone)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(std::filesystem::is_empty(out)) << "nothing of the file in flight";

    const TSaved expected{{"F:" + dir / "big", out}, {"F:" + dir / "small", dir / "out2"}};
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (ReadSavedQueue(dir / "prog/QUEUE.INI") != expected &&
           std::chrono::steady_clock::now() < until && ::waitpid(second, &status, WNOHANG) == 0)
        std::this_thread::yield();
    EXPECT_EQ(ReadSavedQueue(dir / "prog/QUEUE.INI"), expected) << ReadFile(dir / "second.err");
    ::kill(second, SIGTERM);
    ::waitpid(second, nullptr, 0);
}

} // namespace
