// `ferrox PATH...` with a window already running: real processes on a real socket.
#include "core/FerroxCore.h"
#include "core/instance/SingleInstance.h"
#include "diag/ErrorLog.h"
#include "support/SavedQueue.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace ferrox;
using namespace ferrox::test;

namespace ferrox {
void PrintTo(const TQueueAnswer& answer, std::ostream* os) {
    *os << (answer.Queued ? "queued" : "refused") << " \"" << answer.Reason << "\"";
}
} // namespace ferrox

namespace {

using TStrings = std::vector<std::string>;

// A copy of ferrox in a fresh directory, so that its queue file and its error log (both
// beside the program) are the test's own, and a private runtime directory for its socket.
struct THandOverTest : ::testing::Test {
    TTempDir dir;
    std::string runtime = dir / "run";
    std::vector<pid_t> windows;
    std::string shellPrefix; // run before the program, in its shell

    void SetUp() override {
        MakeDir(dir / "prog");
        std::filesystem::copy_file(FERROX_PATH, dir / "prog/ferrox");
        ::mkdir(runtime.c_str(), 0700);
    }
    void TearDown() override {
        for (pid_t pid : windows) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }

    // Starts `ferrox ARGS` (plain words) in the test's directory, output in NAME.err.
    pid_t Start(const TStrings& args, const std::string& name) {
        std::string script = shellPrefix + "cd '" + dir.Path() + "' && XDG_RUNTIME_DIR='" +
                             runtime + "' QT_QPA_PLATFORM=offscreen exec '" + dir / "prog/ferrox'";
        for (const std::string& a : args)
            script += " '" + a + "'";
        script += " </dev/null >/dev/null 2>'" + dir / (name + ".err'");
        const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
        pid_t pid = -1;
        posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ);
        return pid;
    }
    // Waits until `count` of the processes have ended, a minute at most, so that one that
    // wrongly stays (a second window) fails the test instead of hanging it; takes them out
    // of `pids` and gives their exit statuses.
    static std::map<pid_t, int> WaitForExits(std::vector<pid_t>& pids, size_t count) {
        std::vector<pollfd> fds;
        for (pid_t pid : pids)
            fds.push_back({static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)), POLLIN, 0});
        std::map<pid_t, int> ended;
        while (ended.size() < count && ::poll(fds.data(), fds.size(), 60000) > 0)
            for (size_t i = 0; i < fds.size(); ++i)
                if (int status = 0; fds[i].revents & POLLIN) {
                    ::waitpid(pids[i], &status, 0);
                    ended[pids[i]] = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
                    fds[i].fd = -fds[i].fd; // closed below; poll passes it over meanwhile
                }
        for (const pollfd& fd : fds)
            ::close(std::abs(fd.fd));
        std::erase_if(pids, [&](pid_t pid) { return ended.count(pid) > 0; });
        return ended;
    }
    int Run(const TStrings& args, const std::string& name) {
        std::vector<pid_t> one{Start(args, name)};
        const auto ended = WaitForExits(one, 1);
        windows.insert(windows.end(), one.begin(), one.end()); // ended by TearDown
        return ended.empty() ? -1 : ended.begin()->second;
    }
    std::string Err(const std::string& name) const { return ReadFile(dir / (name + ".err")); }
    // A window of its own, once it listens.
    pid_t StartWindow() {
        const pid_t pid = Start({}, "window");
        windows.push_back(pid);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            TFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_un address = Address();
            if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
                return pid;
            if (std::chrono::steady_clock::now() > until) {
                ADD_FAILURE() << "the window does not listen";
                return pid;
            }
            std::this_thread::yield();
        }
    }
    TSaved Queue() const { return ReadSavedQueue(dir / "prog/QUEUE.INI"); }

    sockaddr_un Address() const {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, InstancePlacesIn(runtime).Socket.c_str());
        return address;
    }
    TFd ConnectRaw() const {
        TFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address = Address();
        EXPECT_EQ(::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return fd;
    }
    static std::optional<TQueueAnswer> Answer(int fd) {
        std::string answer;
        ReceiveUntil(fd, answer, [](std::string_view) { return false; });
        return DecodeAnswer(answer);
    }
};

// Twenty commands started together, with only the socket of a killed window there: one
// takes it over and becomes the window, the others hand over to it; every path is queued
// once, with its own destination. Then a message too large is refused at once, one cut
// short when it ends; both are logged and queue nothing.
TEST_F(THandOverTest, TwentyCommandsAtOnceMakeOneWindowThatRefusesBadMessages) {
    {
        TFd stale(::socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un address = Address();
        ASSERT_EQ(::bind(stale.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    constexpr int callers = 20;
    std::vector<pid_t> pids;
    TSaved expected;
    for (int i = 0; i < callers; ++i) {
        const std::string n = std::to_string(i);
        WriteFile(dir / ("src" + n), n);
        MakeDir(dir / ("out" + n));
        expected.push_back({"F:" + dir / ("src" + n), dir / ("out" + n)});
        pids.push_back(Start({"--to", "out" + n, "src" + n}, "caller" + n));
    }
    const std::map<pid_t, int> ended = WaitForExits(pids, callers - 1);
    windows = pids; // the one left, and any that wrongly stayed
    ASSERT_EQ(windows.size(), 1u) << "one window";
    for (const auto& [pid, exitStatus] : ended)
        EXPECT_EQ(exitStatus, 0);
    TSaved saved = Queue();
    auto byFrom = [](const TSavedLine& x, const TSavedLine& y) { return x.From < y.From; };
    std::sort(saved.begin(), saved.end(), byFrom);
    std::sort(expected.begin(), expected.end(), byFrom);
    EXPECT_EQ(saved, expected);
    struct stat st;
    ASSERT_EQ(::lstat(InstancePlacesIn(runtime).Socket.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // The window answers a message too large as soon as it has read its length; the caller,
    // still sending, reads that answer rather than report the broken pipe.
    TQueueRequest tooLarge;
    for (int i = 0; i < 17; ++i)
        tooLarge.Paths.push_back("/" + std::string(1 << 20, 'a' + i));
    const size_t body = EncodeRequest(tooLarge).size() - MessageHeaderSize;
    const std::string tooLargeWhy = "too large: " + std::to_string(body) + " bytes";
    const THandOverResult refused =
        HandOver(ConnectRaw(), tooLarge, InstancePlacesIn(runtime).Socket);
    EXPECT_EQ(refused.ExitStatus, 1);
    EXPECT_EQ(refused.Message, "the request was refused: " + tooLargeWhy);
    TFd cut = ConnectRaw();
    SendAll(cut.Get(), EncodeRequest({{dir / "src0"}, dir / "out0"}).substr(0, 20));
    ::shutdown(cut.Get(), SHUT_WR);
    EXPECT_EQ(Answer(cut.Get()),
              (TQueueAnswer{false, "the request was refused: cut short after 20 bytes"}));
    // Beside the queue file: the window has left the working directory it was started in
    // (which a user may want to unmount), and writes nothing there.
    EXPECT_EQ(ReadFile(dir / ("prog/" + LogFileName())),
              "Request from outside refused [" + tooLargeWhy +
                  "]\r\n"
                  "Request from outside refused [cut short after 20 bytes]\r\n");
    EXPECT_FALSE(Exists(dir / LogFileName()));
    EXPECT_NE(std::filesystem::read_symlink("/proc/" + std::to_string(windows[0]) + "/cwd"),
              dir.Path());
    EXPECT_EQ(Queue().size(), static_cast<size_t>(callers));
}

// A refusal, or a window that closes without an answer, makes the command fail with the
// reason; what it sent is absolute from its own working directory.
TEST_F(THandOverTest, TheCommandFailsWithTheWindowsReason) {
    WriteFile(dir / "a", "a");
    MakeDir(dir / "out");
    TInstanceClaim window = ClaimInstance(InstancePlacesIn(runtime));
    ASSERT_EQ(window.Kind, TInstanceClaim::Listening);
    const std::pair<std::optional<TQueueAnswer>, std::string> cases[] = {
        {TQueueAnswer{false, "You cannot set a destination while the copy is running"},
         "ferrox: You cannot set a destination while the copy is running\n"},
        {std::nullopt, "ferrox: the running window closed before it queued the paths\n"},
    };
    for (const auto& [answer, err] : cases) {
        const pid_t pid = Start({"--copy-now", "a", "--to", "out"}, "caller");
        std::vector<pid_t> caller{pid};
        pollfd wait{window.Listener->Fd(), POLLIN, 0};
        ASSERT_EQ(::poll(&wait, 1, 60000), 1);
        TFd connection(::accept4(window.Listener->Fd(), nullptr, nullptr, SOCK_CLOEXEC));
        std::string request;
        ReceiveUntil(connection.Get(), request, [](std::string_view bytes) {
            return CheckMessage(bytes, RequestKind, MaxRequestBody).State !=
                   TMessageCheck::NeedMore;
        });
        EXPECT_EQ(DecodeRequest(request).Request,
                  (TQueueRequest{{dir / "a"}, dir / "out", false, true}));
        if (answer)
            SendAll(connection.Get(), EncodeAnswer(*answer));
        connection.Reset();
        EXPECT_EQ(WaitForExits(caller, 1), (std::map<pid_t, int>{{pid, 1}}));
        EXPECT_EQ(Err("caller"), err);
    }
}

// A destination alone adds no line (it says so), and the next request's file goes into
// its own destination, not into the folder the first one named.
TEST_F(THandOverTest, ADestinationAloneTakesNoLineOfTheNextRequest) {
    for (const char* folder : {"x", "x/src", "x/backup", "x/elsewhere"})
        MakeDir(dir / folder);
    WriteFile(dir / "x/src/g", "new");
    WriteFile(dir / "x/backup/g", "old");
    StartWindow();
    EXPECT_EQ(Run({"--to", "x/backup"}, "first"), 0);
    EXPECT_EQ(Err("first"), std::string("ferrox: ") + MsgNoLineWithoutDestination + "[" +
                                dir / "x/backup" + "]\n");
    EXPECT_EQ(Run({"--copy-now", "--to", "x/elsewhere", "x/src/g"}, "second"), 0);
    EXPECT_EQ(Err("second"), "");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!Exists(dir / "x/elsewhere/g") && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    EXPECT_EQ(ReadFile(dir / "x/elsewhere/g"), "new");
    EXPECT_EQ(ReadFile(dir / "x/backup/g"), "old");
    EXPECT_EQ(Queue(), (TSaved{{"F:" + dir / "x/src/g", dir / "x/elsewhere"}}));
}

// Connections that never send (a thousand, more than the window has descriptors for) are
// closed, the first ones to make room: a `ferrox` command still gets through at once, and
// the window can still open its queue file.
TEST_F(THandOverTest, IdleConnectionsNeitherStarveTheWindowNorHoldACaller) {
    WriteFile(dir / "src", "src");
    MakeDir(dir / "out");
    shellPrefix = "ulimit -n 1024 && ";
    StartWindow();
    std::vector<TFd> idle;
    for (int i = 0; i < 1024; ++i)
        idle.push_back(ConnectRaw());
    EXPECT_EQ(Run({"--to", "out", "src"}, "caller"), 0) << Err("caller");
    EXPECT_EQ(Queue(), (TSaved{{"F:" + dir / "src", dir / "out"}}));
    // The oldest was closed to make room, without a word: it had said none.
    pollfd first{idle.front().Get(), POLLIN, 0};
    ASSERT_EQ(::poll(&first, 1, 30000), 1);
    char byte;
    EXPECT_EQ(::read(idle.front().Get(), &byte, 1), 0);
    // One that begins a message and goes quiet is refused once a few seconds have passed.
    TFd quiet = ConnectRaw();
    SendAll(quiet.Get(), EncodeRequest({{dir / "src"}, dir / "out"}).substr(0, 20));
    EXPECT_EQ(Answer(quiet.Get()),
              (TQueueAnswer{false, "the request was refused: nothing more came after 20 bytes"}));
}

// The window's socket hears only its own user: a request from another user id is refused
// and queues nothing, even where the socket could be reached.
TEST_F(THandOverTest, ARequestFromAnotherUserIsRefused) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to connect as another user";
    WriteFile(dir / "src", "src");
    MakeDir(dir / "out");
    StartWindow();
    const std::string socket = InstancePlacesIn(runtime).Socket;
    for (const std::string& path : {dir.Path(), runtime})
        ::chmod(path.c_str(), 0711);
    ::chmod(socket.c_str(), 0666);
    constexpr uid_t nobody = 65534;
    int answer[2];
    ASSERT_EQ(::pipe(answer), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(nobody) != 0 || ::setuid(nobody) != 0)
            ::_exit(3);
        TFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address = Address();
        if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            ::_exit(4);
        SendAll(fd.Get(), EncodeRequest({{dir / "src"}, dir / "out", false, true}));
        std::string received;
        ReceiveUntil(fd.Get(), received, [](std::string_view) { return false; });
        if (::write(answer[1], received.data(), received.size()) != ssize_t(received.size()))
            ::_exit(5);
        ::_exit(0);
    }
    ::close(answer[1]);
    std::string received;
    ReceiveUntil(answer[0], received, [](std::string_view) { return false; });
    ::close(answer[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << WEXITSTATUS(status);
    EXPECT_EQ(DecodeAnswer(received),
              (TQueueAnswer{false, "the request was refused: from user id 65534"}));
    EXPECT_TRUE(Queue().empty());
    EXPECT_FALSE(Exists(dir / "out/src"));
}

} // namespace
