// Files side by side, through the whole ferrox-run process, against its peers measured in
// the same run:
//  1. a network share: 2,000 files of 4 KiB in 20 directories from a local directory onto
//     SSHFS, served by an sshd on 127.0.0.1 that this program starts with keys and a
//     configuration of its own in a temporary directory; ferrox-run (workers auto) against
//     `cp -r --preserve=mode,timestamps`, `rsync -a` when installed, and ferrox-run
//     --workers=1;
//  2. tmpfs: 20,000 files of 512 B in 200 directories, ferrox-run against cp -p and rsync;
//  3. the disk: 20,000 files of 4 KiB, --workers=auto against --workers=1 and cp -r; one
//     large file against cp, on the disk and on tmpfs.
// The order of the contenders rotates each round, each copies into a fresh directory after
// a sync, and the ratios are taken round by round; medians with min and max.
//
// Whatever is set up outside this program (the mount, sshd, the temporary directories) is
// taken down by the process the shell started, after the measuring process ended, however
// it ended: normally, failing half-way, by a signal or a crash.
//
//   parallel_bench [--dir DIR] [--tmpfs DIR] [--rounds N] [--big-mib N] [--skip-sshfs]
//                  [--skip-tmpfs] [--skip-disk]
#include "bench/BenchSupport.h"
#include "platform/DeviceKind.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <netinet/in.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <thread>

using namespace ferrox;
using namespace ferrox::bench;

namespace {

constexpr unsigned long FuseMagic = 0x65735546;

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

bool HaveCommand(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// ---- Clean-up: the supervisor -------------------------------------------------------------

// The measuring process writes down what it is about to set up, one line each: "M path" a
// mount, "P pid" a server, "D path" a directory tree, "R path" an empty directory.
int noteFd = -1;

void Note(char kind, const std::string& what) {
    const std::string line = std::string(1, kind) + " " + what + "\n";
    if (::write(noteFd, line.data(), line.size()) != ssize_t(line.size()))
        Fail("cannot tell the supervisor about " + what);
}

volatile std::sig_atomic_t measuring = 0; // its pid, for the signal handler

void Forward(int sig) {
    if (measuring > 0)
        ::kill(measuring, sig);
}

// A mount point that is still mounted (or a dead FUSE mount, which stat cannot enter).
bool IsMounted(const std::string& path) {
    struct stat st, parent;
    if (::stat(path.c_str(), &st) != 0)
        return errno != ENOENT;
    return ::stat((path + "/..").c_str(), &parent) != 0 || parent.st_dev != st.st_dev;
}

void Reap() {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

// The processes whose parent is this one: as subreaper it inherits what the measuring
// process left running (a copy in progress, the sshfs daemon).
std::vector<pid_t> Orphans(const std::vector<pid_t>& except) {
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

// Ends the processes with SIGTERM, then SIGKILL after `patience`.
void Stop(const std::function<std::vector<pid_t>()>& running, std::chrono::milliseconds patience) {
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

// FUSE 3's name first; FUSE 2 systems have only the old one.
std::string FuserMount() {
    return HaveCommand("fusermount3") ? "fusermount3" : "fusermount";
}

void Unmount(const std::string& mount, bool lazy) {
    if (IsMounted(mount))
        std::system((FuserMount() + " -u -q " + std::string(lazy ? "-z " : "") + Quote(mount) +
                     " 2>/dev/null")
                        .c_str());
}

void TakeDown(const std::string& notes) {
    std::vector<std::string> mounts, trees, empties;
    std::vector<pid_t> servers;
    size_t at = 0;
    while (at < notes.size()) {
        size_t end = notes.find('\n', at);
        if (end == std::string::npos)
            break; // a line cut short: the measuring process died while writing it
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
    for (const auto& m : mounts)
        Unmount(m, false);
    // A copy still running keeps the share busy and writes where the trees go.
    Stop([&] { return Orphans(servers); }, std::chrono::seconds(5));
    for (const auto& m : mounts) {
        Unmount(m, false);
        Unmount(m, true);
    }
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
            busy |= m.rfind(tree + "/", 0) == 0 && IsMounted(m);
        // Never delete through a share that is still mounted.
        if (busy)
            std::fprintf(stderr, "parallel_bench: %s is still mounted below; left in place\n",
                         tree.c_str());
        else if (Exists(tree))
            std::system(("rm -rf -- " + Quote(tree)).c_str());
    }
    for (const auto& dir : empties)
        ::rmdir(dir.c_str());
    Reap();
}

// Forks the measuring process and returns in it; this process waits for it, takes down what
// it noted and exits with its status.
void StartSupervisor() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        Fail("pipe2");
    std::fflush(stdout);
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    measuring = ::fork();
    if (measuring < 0)
        Fail("fork");
    if (measuring == 0) {
        ::close(fds[0]);
        noteFd = fds[1];
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
        // Lines as they come, so what was measured is shown even if the run ends early.
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        return;
    }
    ::close(fds[1]);
    struct sigaction sa {};
    sa.sa_handler = Forward;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        ::sigaction(sig, &sa, nullptr);
    int status = 0;
    while (::waitpid(measuring, &status, 0) < 0 && errno == EINTR) {
    }
    std::string notes;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) != 0;)
        if (n > 0)
            notes.append(buf, size_t(n));
        else if (errno != EINTR)
            break;
    TakeDown(notes);
    if (WIFSIGNALED(status)) {
        std::fprintf(stderr, "parallel_bench: ended by signal %d; cleaned up\n", WTERMSIG(status));
        std::_Exit(128 + WTERMSIG(status));
    }
    std::_Exit(WEXITSTATUS(status));
}

// ---- Measuring ----------------------------------------------------------------------------

std::string MakeTemp(const std::string& base) {
    std::string dir = base + "/ferrox-par-bench-XXXXXX";
    // Noted before it exists: a name the supervisor finds missing costs nothing.
    if (!::mkdtemp(dir.data()))
        Fail("cannot make a directory in " + base + ": " + std::strerror(errno));
    Note('D', dir);
    return dir;
}

// Regular files below dir.
long CountFiles(const std::string& dir) {
    long n = 0;
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return 0;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        unsigned type = e->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            type = ::lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? DT_DIR
                                                                                        : DT_REG;
        }
        n += type == DT_DIR ? CountFiles(dir + "/" + name) : type == DT_REG;
    }
    ::closedir(d);
    return n;
}

// One copy into dest, which it makes: after a sync, its seconds; a copy that did not bring
// all the files along ends the program, a fast wrong copy being no figure.
double Timed(const std::string& cmd, const std::string& dest, long files) {
    if (::mkdir(dest.c_str(), 0755) != 0)
        Fail("cannot make " + dest + ": " + std::strerror(errno));
    ::sync();
    const auto start = Clock::now();
    Shell(cmd);
    const double s = Seconds(start);
    if (const long found = CountFiles(dest); found != files)
        Fail(cmd + ": " + std::to_string(found) + " files arrived, not " + std::to_string(files));
    return s;
}

struct TSetup {
    std::string Work; // on the disk: queue files, the error log, the disk's copies
    std::string FerroxRun = FERROX_RUN_PATH;
};

// ferrox-run of a one-line queue, source into dest, as a shell command. The queue file lies
// where a user's would, on the disk.
std::string FerroxCommand(const TSetup& s, const std::string& tag, const std::string& source,
                          bool isDir, const std::string& dest, const std::string& flags) {
    const std::string queue = s.Work + "/q-" + tag + ".ini";
    WriteText(queue, std::string("[Queue]\r\nFROM-1=") + (isDir ? "D:" : "F:") + source +
                         "\r\nTO-1=" + dest + "\r\nDONE-1=0\r\nMOVE-1=0\r\n");
    return "cd " + Quote(s.Work) + " && " + Quote(s.FerroxRun) + " -q " + flags + " " +
           Quote(queue) + " >/dev/null";
}

struct TContender {
    std::string Name;
    std::function<double(const std::string& tag)> Run; // tag: fresh for each run
    std::vector<double> Seconds = {};
};

// A ratio of two contenders' times, taken round by round.
struct TRatio {
    size_t Of, To;
    std::string Goal; // empty: for reference
};

void Rotate(int rounds, const std::string& prefix, std::vector<TContender>& all) {
    for (int r = 0; r < rounds; ++r) {
        for (size_t k = 0; k < all.size(); ++k) {
            TContender& c = all[(k + size_t(r)) % all.size()];
            c.Seconds.push_back(c.Run(prefix + std::to_string(r)));
        }
        std::printf("   round %d:", r + 1);
        for (size_t k = 0; k < all.size(); ++k)
            std::printf("%s %s %.3f s", k ? "," : "", all[k].Name.c_str(), all[k].Seconds.back());
        std::printf("\n");
    }
}

void Report(const std::vector<TContender>& all, const std::vector<TRatio>& ratios) {
    size_t width = 0;
    for (const auto& c : all)
        width = std::max(width, c.Name.size());
    for (const auto& c : all)
        std::printf("   %-*s median %.3f s (min %.3f, max %.3f)\n", int(width), c.Name.c_str(),
                    Median(c.Seconds), *std::min_element(c.Seconds.begin(), c.Seconds.end()),
                    *std::max_element(c.Seconds.begin(), c.Seconds.end()));
    for (const auto& r : ratios) {
        std::vector<double> v;
        for (size_t i = 0; i < all[r.Of].Seconds.size(); ++i)
            v.push_back(all[r.Of].Seconds[i] / all[r.To].Seconds[i]);
        std::printf("   %s / %s: median %.3f (min %.3f, max %.3f)%s\n", all[r.Of].Name.c_str(),
                    all[r.To].Name.c_str(), Median(v), *std::min_element(v.begin(), v.end()),
                    *std::max_element(v.begin(), v.end()),
                    r.Goal.empty() ? "" : ("; goal " + r.Goal).c_str());
    }
}

std::string KindText(const std::string& dir) {
    dev_t device = 0;
    switch (DeviceKindOf(dir, device)) {
    case TDeviceKind::Rotating:
        return "a rotating disk";
    case TDeviceKind::Solid:
        return "solid (no head to move)";
    case TDeviceKind::Network:
        return "a network share";
    case TDeviceKind::Unknown:
        break;
    }
    return "unknown";
}

// cp -p and, when installed, rsync -a, each copying source into a fresh directory below
// `into`.
void AddPeers(std::vector<TContender>& all, const std::string& source, const std::string& into,
              long files, bool rsync) {
    all.push_back({"cp -p", [=](const std::string& tag) {
                       const std::string dest = into + "/cp-" + tag;
                       return Timed("cp -r --preserve=mode,timestamps " + Quote(source) + " " +
                                        Quote(dest + "/"),
                                    dest, files);
                   }});
    if (rsync)
        all.push_back({"rsync -a", [=](const std::string& tag) {
                           const std::string dest = into + "/rs-" + tag;
                           return Timed("rsync -a " + Quote(source) + " " + Quote(dest + "/"), dest,
                                        files);
                       }});
}

// ---- 1. The network share -----------------------------------------------------------------

// An sshd of our own on 127.0.0.1 and the share it serves, mounted with sshfs.
class TShare {
public:
    // Sets it up below work; why it could not, or empty.
    std::string Open(const std::string& work) {
        dir_ = work + "/ssh";
        ::mkdir(dir_.c_str(), 0700);
        for (const char* key : {"host_key", "client_key"})
            if (std::system(("ssh-keygen -q -t ed25519 -N '' -C parallel_bench -f " +
                             Quote(dir_ + "/" + key) + " </dev/null")
                                .c_str()) != 0)
                return "ssh-keygen failed";
        Shell("cp " + Quote(dir_ + "/client_key.pub") + " " + Quote(dir_ + "/authorized_keys"));
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
        WriteText(dir_ + "/sshd_config",
                  "ListenAddress 127.0.0.1\nPort " + std::to_string(port_) + "\nHostKey " + dir_ +
                      "/host_key\nAuthorizedKeysFile " + dir_ + "/authorized_keys\nPidFile " +
                      dir_ + "/sshd.pid\nAllowUsers " + user +
                      "\nStrictModes no\nUsePAM no\nPasswordAuthentication no\n"
                      "KbdInteractiveAuthentication no\nPermitRootLogin prohibit-password\n"
                      "AllowTcpForwarding no\nX11Forwarding no\nSubsystem sftp internal-sftp\n");
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
            Unmount(mount_, false);
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

void ShareCase(const TSetup& s, int rounds, bool rsync) {
    std::printf("\n1. network share: 2,000 files of 4 KiB in 20 directories, from the disk onto "
                "SSHFS (sshd on 127.0.0.1)\n");
    std::string missing;
    for (const std::string& tool : {std::string("sshfs"), std::string("ssh-keygen"), FuserMount()})
        if (!HaveCommand(tool))
            missing += (missing.empty() ? "" : ", ") + tool;
    if (!Exists("/usr/sbin/sshd") && !Exists("/usr/local/sbin/sshd") && !Exists("/sbin/sshd"))
        missing += std::string(missing.empty() ? "" : ", ") + "sshd";
    if (!missing.empty()) {
        std::printf("   skipped: %s not installed (apt-get install sshfs openssh-server)\n",
                    missing.c_str());
        return;
    }
    TShare share;
    if (std::string why = share.Open(s.Work); !why.empty()) {
        std::printf("   skipped: %s\n", why.c_str());
        share.Close();
        return;
    }
    const std::string mnt = share.Mount();
    std::printf("   share mounted at %s (port %d); its device: %s\n", mnt.c_str(), share.Port(),
                KindText(mnt).c_str());
    const std::string tree = s.Work + "/tree2k";
    MakeTree(tree, 20, 100, 4096);
    const long files = 2000;
    std::printf("   ferrox-run with its defaults (its flush at the end included); every "
                "contender into a fresh directory on the share\n");
    std::vector<TContender> all;
    auto ferrox = [&](const std::string& name, const std::string& flags, const std::string& id) {
        all.push_back({name, [=, &s](const std::string& tag) {
                           const std::string dest = mnt + "/" + id + tag;
                           return Timed(FerroxCommand(s, id + tag, tree, true, dest, flags), dest,
                                        files);
                       }});
    };
    ferrox("ferrox-run", "--workers=auto", "fx-");
    AddPeers(all, tree, mnt, files, rsync);
    ferrox("ferrox-run --workers=1", "--workers=1", "fx1-");
    Rotate(rounds, "share", all);
    std::vector<TRatio> ratios = {{0, 1, "<= 0.5"}};
    if (rsync)
        ratios.push_back({0, 2, ""});
    ratios.push_back({all.size() - 1, 1, ""});
    Report(all, ratios);
    share.Close();
}

// ---- 2. tmpfs and 3. the disk -------------------------------------------------------------

void TmpfsCase(const TSetup& s, const std::string& shm, int rounds, bool rsync) {
    std::printf("\n2. tmpfs (%s, %s): 20,000 files of 512 B in 200 directories\n", shm.c_str(),
                KindText(shm).c_str());
    std::printf("   ferrox-run with its defaults (workers auto, its flush at the end included)\n");
    const std::string tree = shm + "/tree512";
    MakeTree(tree, 200, 100, 512);
    const long files = 20000;
    std::vector<TContender> all;
    all.push_back({"ferrox-run", [=, &s](const std::string& tag) {
                       const std::string dest = shm + "/fx-" + tag;
                       return Timed(
                           FerroxCommand(s, "fx-" + tag, tree, true, dest, "--workers=auto"), dest,
                           files);
                   }});
    AddPeers(all, tree, shm, files, rsync);
    Rotate(rounds, "shm", all);
    std::vector<TRatio> ratios = {{0, 1, "<= 0.7"}};
    if (rsync)
        ratios.push_back({0, 2, ""});
    Report(all, ratios);
}

// One large file, ferrox-run --no-flush against cp, in fresh directories below `into`;
// `dropCopies` deletes each copy after its round (tmpfs holds them in memory).
void BigFile(const TSetup& s, const std::string& into, int bigMiB, int rounds, bool dropCopies) {
    const std::string big = into + "/big.bin";
    Shell("head -c " + std::to_string(int64_t(bigMiB) << 20) + " /dev/urandom > " + Quote(big));
    std::vector<TContender> all;
    auto done = [=](const std::string& dest) {
        if (dropCopies)
            Shell("rm -rf " + Quote(dest));
    };
    all.push_back({"ferrox-run", [=, &s](const std::string& tag) {
                       const std::string dest = into + "/fxbig-" + tag;
                       double t =
                           Timed(FerroxCommand(s, "fxbig-" + tag, big, false, dest, "--no-flush"),
                                 dest, 1);
                       done(dest);
                       return t;
                   }});
    all.push_back({"cp", [=](const std::string& tag) {
                       const std::string dest = into + "/cpbig-" + tag;
                       double t = Timed("cp " + Quote(big) + " " + Quote(dest + "/"), dest, 1);
                       done(dest);
                       return t;
                   }});
    Rotate(rounds, "big" + std::to_string(dropCopies), all);
    Report(all, {{0, 1, "<= 1.02"}});
    if (dropCopies)
        ::unlink(big.c_str());
}

void DiskCase(const TSetup& s, const std::string& shm, int rounds, int bigMiB) {
    std::printf("\n3. the disk (%s, %s): 20,000 files of 4 KiB in 200 directories\n",
                s.Work.c_str(), KindText(s.Work).c_str());
    std::printf("   every ferrox-run with --no-flush, against plain cp: neither waits for the "
                "disk\n");
    const std::string tree = s.Work + "/tree4k";
    MakeTree(tree, 200, 100, 4096);
    const long files = 20000;
    std::vector<TContender> all;
    for (const char* workers : {"auto", "1"})
        all.push_back(
            {std::string("ferrox-run --workers=") + workers, [=, &s](const std::string& tag) {
                 const std::string id = std::string("fx") + workers + "-" + tag;
                 const std::string dest = s.Work + "/" + id;
                 return Timed(FerroxCommand(s, id, tree, true, dest,
                                            std::string("--no-flush --workers=") + workers),
                              dest, files);
             }});
    all.push_back({"cp -r", [=](const std::string& tag) {
                       const std::string dest = s.Work + "/cpr-" + tag;
                       return Timed("cp -r " + Quote(tree) + " " + Quote(dest + "/"), dest, files);
                   }});
    Rotate(rounds, "disk", all);
    Report(all, {{0, 1, "<= 1.0"}, {0, 2, ""}});

    std::printf("\n   one file of %d MiB on the disk\n", bigMiB);
    BigFile(s, s.Work, bigMiB, rounds, false);
    if (!shm.empty()) {
        std::printf("\n   one file of %d MiB on tmpfs (%s)\n", bigMiB, shm.c_str());
        BigFile(s, shm, bigMiB, rounds, true);
    }
}

} // namespace

int main(int argc, char** argv) {
    TArgs args(argc, argv);
    const std::string base = args.Text("--dir", DefaultWorkBase());
    const std::string tmpfs = args.Text("--tmpfs", "/dev/shm");
    const int rounds = int(args.Number("--rounds", 5));
    const int bigMiB = int(args.Number("--big-mib", 1024));
    const bool skipShare = args.Flag("--skip-sshfs");
    const bool skipTmpfs = args.Flag("--skip-tmpfs");
    const bool skipDisk = args.Flag("--skip-disk");
    if (!args.Done())
        return 2;
    StartSupervisor();

    TSetup s;
    s.Work = MakeTemp(base);
    const std::string shm = skipTmpfs ? "" : MakeTemp(tmpfs);
    const bool rsync = HaveCommand("rsync");
    std::printf("work directories: %s%s%s\n", s.Work.c_str(), shm.empty() ? "" : ", ", shm.c_str());
    const std::string options = s.FerroxRun.substr(0, s.FerroxRun.rfind('/') + 1) + "QOPTIONS.INI";
    std::printf("ferrox-run: %s (%s)\n", s.FerroxRun.c_str(),
                Exists(options) ? "its QOPTIONS.INI applies where no flag overrides it"
                                : "no QOPTIONS.INI beside it: its defaults apply");
    std::printf("%d rounds; each run copies into a fresh directory after a sync; the order "
                "rotates each round%s\n",
                rounds, rsync ? "" : "; rsync is not installed: no comparison with it");

    if (!skipShare)
        ShareCase(s, rounds, rsync);
    if (!skipTmpfs)
        TmpfsCase(s, shm, rounds, rsync);
    if (!skipDisk)
        DiskCase(s, shm, rounds, bigMiB);
    // The supervisor deletes the directories, unmounts and stops sshd.
    return 0;
}
