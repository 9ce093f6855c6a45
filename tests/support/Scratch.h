#pragma once
// What a test or a benchmark sets up outside its own process (mounts, loop devices, an sshd
// with the SSHFS share it serves, directories) and the supervisor that takes it down again,
// after the working process ended, however it ended: normally, failing half-way, by a
// signal or a crash.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <linux/loop.h>
#include <netinet/in.h>
#include <pwd.h>
#include <spawn.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace ferrox::scratch {

using Clock = std::chrono::steady_clock;
constexpr unsigned long FuseMagic = 0x65735546;

inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

inline bool HaveCommand(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

inline bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

inline bool WriteWhole(const std::string& path, const std::string& text, mode_t mode = 0644) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    const bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    if (fd >= 0)
        ::close(fd);
    return ok;
}

// A mount point that is still mounted (or a dead FUSE mount, which stat cannot enter).
inline bool IsMounted(const std::string& path) {
    struct stat st, parent;
    if (::stat(path.c_str(), &st) != 0)
        return errno != ENOENT;
    return ::stat((path + "/..").c_str(), &parent) != 0 || parent.st_dev != st.st_dev;
}

// FUSE 3's name first; FUSE 2 systems have only the old one.
inline std::string FuserMount() {
    return HaveCommand("fusermount3") ? "fusermount3" : "fusermount";
}

// Root unmounts anything itself; a user's FUSE mount goes through fusermount.
inline void Unmount(const std::string& mount, bool lazy) {
    if (!IsMounted(mount))
        return;
    if (::geteuid() == 0 && ::umount2(mount.c_str(), lazy ? MNT_DETACH : 0) == 0)
        return;
    std::system(
        (FuserMount() + " -u -q " + std::string(lazy ? "-z " : "") + Quote(mount) + " 2>/dev/null")
            .c_str());
}

// Unmounts, waiting up to `patience` for the users of the file system to let go (a flush
// that a finished run left behind still holds its directories); then lazily.
inline bool UnmountPatiently(const std::string& mount, std::chrono::milliseconds patience) {
    for (auto until = Clock::now() + patience; IsMounted(mount) && Clock::now() < until;) {
        Unmount(mount, false);
        if (IsMounted(mount))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Unmount(mount, true);
    return !IsMounted(mount);
}

// An image file attached to a free loop device that lets go of it by itself once its last
// user (this descriptor, a mount, a FUSE daemon) is gone; the device's descriptor, or -1.
inline int AttachLoop(const std::string& image, std::string& device) {
    int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    int backing = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
    int loop = -1;
    // Another program may take the same free device first: ask again.
    for (int attempt = 0; attempt < 20 && control >= 0 && backing >= 0 && loop < 0; ++attempt) {
        int n = ::ioctl(control, LOOP_CTL_GET_FREE);
        if (n < 0)
            break;
        device = "/dev/loop" + std::to_string(n);
        int fd = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
        loop_config config{};
        config.fd = static_cast<uint32_t>(backing);
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
        if (fd >= 0 && ::ioctl(fd, LOOP_CONFIGURE, &config) == 0)
            loop = fd;
        else if (fd >= 0)
            ::close(fd);
    }
    if (control >= 0)
        ::close(control);
    if (backing >= 0)
        ::close(backing);
    return loop;
}

// ---- The supervisor -----------------------------------------------------------------------

namespace detail {
inline int noteFd = -1;
inline const char* program = "scratch";
inline volatile std::sig_atomic_t working = 0; // the working process's pid, for the handler

inline void Forward(int sig) {
    if (working > 0)
        ::kill(working, sig);
}

// The processes whose parent is this one: as subreaper it inherits what the working
// process left running (a copy in progress, a FUSE daemon).
inline std::vector<pid_t> Orphans(const std::vector<pid_t>& except) {
    std::vector<pid_t> found;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return found;
    while (dirent* e = ::readdir(proc)) {
        const pid_t pid = std::atoi(e->d_name);
        if (pid <= 0 || std::find(except.begin(), except.end(), pid) != except.end())
            continue;
        FILE* f = std::fopen(("/proc/" + std::string(e->d_name) + "/stat").c_str(), "r");
        if (!f)
            continue;
        char buf[512] = {};
        const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        // "pid (comm) S ppid ...": comm may hold anything, so parse after its last ')'.
        const char* close = std::strrchr(buf, ')');
        char state;
        int ppid;
        if (n && close && std::sscanf(close + 1, " %c %d", &state, &ppid) == 2 &&
            ppid == ::getpid() && state != 'Z')
            found.push_back(pid);
    }
    ::closedir(proc);
    return found;
}

inline void Reap() {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

// Ends the processes with SIGTERM, then SIGKILL after `patience`.
inline void Stop(const std::function<std::vector<pid_t>()>& running,
                 std::chrono::milliseconds patience) {
    const auto until = Clock::now() + patience;
    for (int sig = SIGTERM;; sig = Clock::now() < until ? SIGTERM : SIGKILL) {
        const std::vector<pid_t> pids = running();
        if (pids.empty())
            return;
        for (pid_t pid : pids)
            ::kill(pid, sig);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Reap();
    }
}

inline void TakeDown(const std::string& notes) {
    std::vector<std::string> mounts, trees, empties;
    std::vector<pid_t> servers;
    size_t at = 0;
    while (at < notes.size()) {
        size_t end = notes.find('\n', at);
        if (end == std::string::npos)
            break; // a line cut short: the working process died while writing it
        const std::string what = notes.substr(at + 2, end - at - 2);
        switch (notes[at]) {
        case 'M':
            mounts.push_back(what);
            break;
        case 'P':
            servers.push_back(std::atoi(what.c_str()));
            break;
        case 'D':
            trees.push_back(what);
            break;
        case 'R':
            empties.push_back(what);
            break;
        }
        at = end + 1;
    }
    // The last mounted first: a mount may lie on another.
    std::reverse(mounts.begin(), mounts.end());
    for (const auto& m : mounts)
        Unmount(m, false);
    // A copy still running keeps a mount busy and writes where the trees go.
    Stop([&] { return Orphans(servers); }, std::chrono::seconds(5));
    for (const auto& m : mounts)
        UnmountPatiently(m, std::chrono::seconds(2));
    Stop(
        [&] {
            std::vector<pid_t> alive;
            for (pid_t pid : servers)
                if (::kill(pid, 0) == 0)
                    alive.push_back(pid);
            return alive;
        },
        std::chrono::seconds(2));
    for (const auto& tree : trees) {
        bool busy = false;
        for (const auto& m : mounts)
            busy |= (m == tree || m.rfind(tree + "/", 0) == 0) && IsMounted(m);
        // Never delete through a file system that is still mounted.
        if (busy)
            std::fprintf(stderr, "%s: %s is still mounted below; left in place\n", program,
                         tree.c_str());
        else if (Exists(tree))
            std::system(("rm -rf -- " + Quote(tree)).c_str());
    }
    for (const auto& dir : empties)
        ::rmdir(dir.c_str());
    Reap();
}
} // namespace detail

// Tells the supervisor what is about to be set up, one line each: 'M' a mount point, 'P' a
// server's pid, 'D' a directory tree, 'R' an empty directory. Noted before it exists: a
// name the supervisor finds missing costs nothing. Without a supervisor, nothing.
inline void Note(char kind, const std::string& what) {
    if (detail::noteFd < 0)
        return;
    const std::string line = std::string(1, kind) + " " + what + "\n";
    if (::write(detail::noteFd, line.data(), line.size()) != ssize_t(line.size())) {
        std::fprintf(stderr, "%s: cannot tell the supervisor about %s\n", detail::program,
                     what.c_str());
        std::_Exit(1);
    }
}

// Forks the working process and returns in it; this process waits for it (reaping what it
// inherits meanwhile), takes down what it noted and exits with its status.
inline void StartSupervisor(const char* program) {
    detail::program = program;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        std::perror("pipe2");
        std::_Exit(1);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("fork");
        std::_Exit(1);
    }
    if (child == 0) {
        ::close(fds[0]);
        detail::noteFd = fds[1];
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
        // Lines as they come, so what was found is shown even if the work ends early.
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        return;
    }
    detail::working = child;
    ::close(fds[1]);
    struct sigaction sa {};
    sa.sa_handler = detail::Forward;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        ::sigaction(sig, &sa, nullptr);
    // What the working process leaves running ends up here, and its flushes end by
    // themselves: they are reaped as they go, not kept as zombies until the end.
    int status = 0;
    for (;;) {
        int s = 0;
        const pid_t pid = ::waitpid(-1, &s, 0);
        if (pid == child) {
            status = s;
            break;
        }
        if (pid < 0 && errno != EINTR)
            break;
    }
    std::string notes;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) != 0;)
        if (n > 0)
            notes.append(buf, size_t(n));
        else if (errno != EINTR)
            break;
    detail::TakeDown(notes);
    if (WIFSIGNALED(status)) {
        std::fprintf(stderr, "%s: ended by signal %d; cleaned up\n", program, WTERMSIG(status));
        std::_Exit(128 + WTERMSIG(status));
    }
    std::_Exit(WEXITSTATUS(status));
}

// ---- An SSHFS share -----------------------------------------------------------------------

// What an SSHFS share of our own needs and this machine lacks; empty when it has it all.
inline std::string ShareMissing() {
    std::string missing;
    for (const std::string& tool : {std::string("sshfs"), std::string("ssh-keygen"), FuserMount()})
        if (!HaveCommand(tool))
            missing += (missing.empty() ? "" : ", ") + tool;
    if (!Exists("/usr/sbin/sshd") && !Exists("/usr/local/sbin/sshd") && !Exists("/sbin/sshd"))
        missing += std::string(missing.empty() ? "" : ", ") + "sshd";
    if (::access("/dev/fuse", R_OK | W_OK) != 0)
        missing += std::string(missing.empty() ? "" : ", ") + "FUSE (/dev/fuse)";
    return missing;
}

// An sshd of our own on 127.0.0.1, with keys and a configuration of its own in a directory
// below `work`, and the share it serves mounted with sshfs; every part is noted for the
// supervisor.
class TShare {
public:
    // Sets it up below work; why it could not, or empty.
    std::string Open(const std::string& work) {
        dir_ = work + "/ssh";
        ::mkdir(dir_.c_str(), 0700);
        for (const char* key : {"host_key", "client_key"})
            if (std::system(("ssh-keygen -q -t ed25519 -N '' -C ferrox-scratch -f " +
                             Quote(dir_ + "/" + key) + " </dev/null >/dev/null")
                                .c_str()) != 0)
                return "ssh-keygen failed";
        if (std::system(
                ("cp " + Quote(dir_ + "/client_key.pub") + " " + Quote(dir_ + "/authorized_keys"))
                    .c_str()) != 0)
            return "cannot copy the client's key";
        // As root, sshd wants its privilege separation directory, which only its service
        // makes.
        if (::geteuid() == 0 && !Exists("/run/sshd")) {
            Note('R', "/run/sshd");
            ::mkdir("/run/sshd", 0755);
        }
        const passwd* pw = ::getpwuid(::getuid());
        if (!pw)
            return "who am I?";
        const std::string user = pw->pw_name;
        if (!(port_ = FreePort()))
            return "no free port on 127.0.0.1";
        if (!WriteWhole(dir_ + "/sshd_config",
                        "ListenAddress 127.0.0.1\nPort " + std::to_string(port_) + "\nHostKey " +
                            dir_ + "/host_key\nAuthorizedKeysFile " + dir_ +
                            "/authorized_keys\nPidFile " + dir_ + "/sshd.pid\nAllowUsers " + user +
                            "\nStrictModes no\nUsePAM no\nPasswordAuthentication no\n"
                            "KbdInteractiveAuthentication no\nPermitRootLogin prohibit-password\n"
                            "AllowTcpForwarding no\nX11Forwarding no\n"
                            "Subsystem sftp internal-sftp\n"))
            return "cannot write the sshd configuration";
        if (std::string why = StartSshd(); !why.empty())
            return why;
        store_ = work + "/share-store";
        mount_ = work + "/share";
        ::mkdir(store_.c_str(), 0755);
        ::mkdir(mount_.c_str(), 0755);
        Note('M', mount_);
        // -F /dev/null: neither the user's ssh configuration nor a new ~/.ssh.
        const std::string cmd = "sshfs -F /dev/null -p " + std::to_string(port_) + " -o " +
                                Quote("IdentityFile=" + dir_ +
                                      "/client_key,IdentitiesOnly=yes,BatchMode=yes,"
                                      "StrictHostKeyChecking=no,UserKnownHostsFile=/dev/"
                                      "null,LogLevel=ERROR") +
                                " " + Quote(user + "@127.0.0.1:" + store_) + " " + Quote(mount_);
        if (std::system(cmd.c_str()) != 0)
            return "sshfs could not mount the share" + SshdLog();
        struct statfs fs;
        if (::statfs(mount_.c_str(), &fs) != 0 || (unsigned long)fs.f_type != FuseMagic)
            return "the share is not mounted";
        return {};
    }

    void Close() {
        if (!mount_.empty())
            UnmountPatiently(mount_, std::chrono::seconds(5));
        if (sshd_ > 0) {
            ::kill(sshd_, SIGTERM);
            ::waitpid(sshd_, nullptr, 0);
            sshd_ = 0;
        }
    }

    const std::string& Mount() const { return mount_; }
    int Port() const { return port_; }

private:
    static int FreePort() {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        int port = 0;
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        if (fd >= 0)
            ::close(fd);
        return port;
    }

    static bool Answers(int port) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(port));
        const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        if (fd >= 0)
            ::close(fd);
        return ok;
    }

    std::string SshdLog() const {
        FILE* f = std::fopen((dir_ + "/sshd.log").c_str(), "r");
        std::string log;
        char buf[4096];
        for (size_t n; f && (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
            log.append(buf, n);
        if (f)
            std::fclose(f);
        return log.empty() ? "" : "; sshd said:\n" + log;
    }

    std::string StartSshd() {
        std::string sshd;
        for (const char* p : {"/usr/sbin/sshd", "/usr/local/sbin/sshd", "/sbin/sshd"})
            if (::access(p, X_OK) == 0)
                sshd = p; // sshd wants its absolute path, to start itself again
        if (sshd.empty())
            return "sshd is not installed";
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&files, 1, (dir_ + "/sshd.log").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&files, 1, 2);
        const std::string config = dir_ + "/sshd_config";
        std::vector<char*> argv = {sshd.data(),
                                   const_cast<char*>("-D"),
                                   const_cast<char*>("-e"),
                                   const_cast<char*>("-f"),
                                   const_cast<char*>(config.c_str()),
                                   nullptr};
        pid_t pid = 0;
        const int rc = posix_spawn(&pid, sshd.c_str(), &files, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&files);
        if (rc != 0)
            return "cannot start sshd: " + std::string(std::strerror(rc));
        sshd_ = pid;
        Note('P', std::to_string(pid));
        for (auto until = Clock::now() + std::chrono::seconds(10); Clock::now() < until;) {
            if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                sshd_ = 0;
                return "sshd ended at once" + SshdLog();
            }
            if (Answers(port_))
                return {};
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return "sshd does not answer on port " + std::to_string(port_) + SshdLog();
    }

    std::string dir_, store_, mount_;
    int port_ = 0;
    pid_t sshd_ = 0;
};

} // namespace ferrox::scratch
