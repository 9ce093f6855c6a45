// `ferrox PATH...` with a window already running: real processes on a real socket.
#include "core/QueueRequest.h"
#include "diag/ErrorLog.h"
#include "platform/LocalSocket.h"
#include "support/SavedQueue.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
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
#include <unistd.h>

extern char** environ;

using namespace ferrox;
using namespace ferrox::test;

namespace {

using TStrings = std::vector<std::string>;

// A copy of ferrox in a fresh directory, so that its queue file (beside the program) and
// its error log (in its working directory, the same one) are the test's own, and a
// private runtime directory for its socket.
struct THandOverTest : ::testing::Test {
    TTempDir dir;
    std::string runtime = dir / "run";
    std::vector<pid_t> windows;

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

    // Starts `ferrox ARGS` in the test's directory, its output in NAME.out and NAME.err.
    pid_t Start(const TStrings& args, const std::string& name) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (!std::string_view(*e).starts_with("XDG_RUNTIME_DIR=") &&
                !std::string_view(*e).starts_with("QT_QPA_PLATFORM="))
                env.emplace_back(*e);
        env.push_back("XDG_RUNTIME_DIR=" + runtime);
        env.push_back("QT_QPA_PLATFORM=offscreen");
        std::vector<std::string> argv{dir / "prog/ferrox"};
        argv.insert(argv.end(), args.begin(), args.end());
        auto pointers = [](std::vector<std::string>& strings) {
            std::vector<char*> p;
            for (std::string& s : strings)
                p.push_back(s.data());
            p.push_back(nullptr);
            return p;
        };
        std::vector<char*> argvP = pointers(argv), envP = pointers(env);
        const std::string out = dir / (name + ".out"), err = dir / (name + ".err");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addchdir_np(&actions, dir.Path().c_str());
        pid_t pid = -1;
        if (posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, argvP.data(), envP.data()) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    // Waits until `count` of the processes have ended (a minute at most, so that one that
    // wrongly stays, as a second window would, fails the test instead of hanging it); the
    // exit statuses of those that ended, by pid. They are taken out of `pids`.
    static std::map<pid_t, int> WaitForExits(std::vector<pid_t>& pids, size_t count) {
        std::vector<pollfd> fds;
        for (pid_t pid : pids)
            fds.push_back({static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)), POLLIN, 0});
        std::map<pid_t, int> ended;
        while (ended.size() < count && ::poll(fds.data(), fds.size(), 60000) > 0) {
            for (size_t i = 0; i < fds.size(); ++i) {
                int status = 0;
                if (fds[i].fd >= 0 && (fds[i].revents & POLLIN) &&
                    ::waitpid(pids[i], &status, 0) == pids[i]) {
                    ended[pids[i]] = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
                    ::close(fds[i].fd);
                    fds[i].fd = -1; // poll passes it over from now on
                }
            }
        }
        for (const pollfd& fd : fds)
            if (fd.fd >= 0)
                ::close(fd.fd);
        std::erase_if(pids, [&](pid_t pid) { return ended.count(pid) > 0; });
        return ended;
    }
    int Wait(pid_t pid) {
        std::vector<pid_t> one{pid};
        const auto ended = WaitForExits(one, 1);
        if (ended.empty()) {
            windows.push_back(pid); // ended by TearDown
            return -1;
        }
        return ended.begin()->second;
    }
    int Run(const TStrings& args, const std::string& name) { return Wait(Start(args, name)); }
    std::string Err(const std::string& name) const { return ReadFile(dir / (name + ".err")); }
    TSaved Queue() const { return ReadSavedQueue(dir / "prog/QUEUE.INI"); }

    TFd ConnectRaw() {
        TFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = InstancePlacesIn(runtime).Socket;
        std::memcpy(address.sun_path, path.c_str(), path.size());
        EXPECT_EQ(::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return fd;
    }
    static std::optional<TQueueAnswer> Answer(int fd) {
        std::string answer;
        ReceiveUntil(fd, answer, [](std::string_view) { return false; });
        return DecodeAnswer(answer);
    }
};

// The first command becomes the window (taking over the socket a killed window left);
// the next one hands its paths over and ends once they are queued. A message too large is
// refused at once, one cut short when it ends; both are logged and queue nothing.
TEST_F(THandOverTest, ALaterCommandHandsItsPathsToTheWindowAndBadMessagesChangeNothing) {
    for (const char* name : {"a", "b", "c"})
        WriteFile(dir / name, name);
    MakeDir(dir / "out");
    {
        TFd stale(::socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, InstancePlacesIn(runtime).Socket.c_str());
        ASSERT_EQ(::bind(stale.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }

    windows.push_back(Start({"a"}, "window"));
    EXPECT_EQ(Run({"--to", "out", "b"}, "second"), 0) << Err("second");
    EXPECT_EQ(Err("second"), "");
    const TSaved queued{{"F:" + dir / "a", dir / "out"}, {"F:" + dir / "b", dir / "out"}};
    EXPECT_EQ(Queue(), queued);
    struct stat st;
    ASSERT_EQ(::lstat(InstancePlacesIn(runtime).Socket.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    TFd large = ConnectRaw();
    SendAll(large.Get(), std::string(RequestKind) + "\xff\xff\xff\xff");
    EXPECT_EQ(Answer(large.Get()),
              (TQueueAnswer{false, "the request was refused: too large: 4294967295 bytes"}));
    TFd cut = ConnectRaw();
    SendAll(cut.Get(), EncodeRequest({{dir / "c"}, dir / "out", false, true}).substr(0, 20));
    ::shutdown(cut.Get(), SHUT_WR);
    EXPECT_EQ(Answer(cut.Get()),
              (TQueueAnswer{false, "the request was refused: cut short after 20 bytes"}));
    EXPECT_EQ(ReadFile(dir / LogFileName()),
              "Request from outside refused [too large: 4294967295 bytes]\r\n"
              "Request from outside refused [cut short after 20 bytes]\r\n");
    EXPECT_EQ(Queue(), queued);
}

// Twenty commands started together with no window: one becomes it, the others hand over
// to it; every path is queued once, with its own destination.
TEST_F(THandOverTest, TwentyCommandsAtOnceMakeOneWindowAndLoseNoPath) {
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
}

// What the command prints and returns follows the window's answer; what it sends is
// absolute from its own working directory.
TEST_F(THandOverTest, TheCommandsExitStatusAndMessageFollowTheAnswer) {
    WriteFile(dir / "a", "a");
    MakeDir(dir / "out");
    TInstanceClaim window = ClaimInstance(InstancePlacesIn(runtime));
    ASSERT_EQ(window.Kind, TInstanceClaim::Listening);
    const struct {
        std::optional<TQueueAnswer> Answer; // none: the window closes without one
        int Exit;
        std::string Err;
    } cases[] = {
        {TQueueAnswer{true, ""}, 0, ""},
        {TQueueAnswer{false, "You cannot set a destination while the copy is running"}, 1,
         "ferrox: You cannot set a destination while the copy is running\n"},
        {std::nullopt, 1, "ferrox: the running window closed before it queued the paths\n"},
    };
    for (const auto& c : cases) {
        const pid_t pid = Start({"--copy-now", "a", "--to", "out"}, "caller");
        pollfd wait{window.Listener->Fd(), POLLIN, 0};
        ASSERT_EQ(::poll(&wait, 1, 60000), 1);
        TFd caller(::accept4(window.Listener->Fd(), nullptr, nullptr, SOCK_CLOEXEC));
        std::string request;
        ReceiveUntil(caller.Get(), request, [](std::string_view bytes) {
            return CheckMessage(bytes, RequestKind, MaxRequestBody).State !=
                   TMessageCheck::NeedMore;
        });
        EXPECT_EQ(DecodeRequest(request).Request,
                  (TQueueRequest{{dir / "a"}, dir / "out", false, true}));
        if (c.Answer)
            SendAll(caller.Get(), EncodeAnswer(*c.Answer));
        caller.Reset();
        EXPECT_EQ(Wait(pid), c.Exit);
        EXPECT_EQ(Err("caller"), c.Err);
    }
}

} // namespace
