#pragma once
// Helpers the benchmark programs share: timing, medians, shell commands and test trees.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace ferrox::bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The value below which the given share of the values lie (0.5: the median); 0 for none.
inline double Quantile(std::vector<double> v, double share) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t at = std::min(v.size() - 1, size_t(share * double(v.size())));
    return v[at];
}

inline double Median(const std::vector<double>& v) {
    return Quantile(v, 0.5);
}

// Ends the program at once. Not exit(): the monitor's and the window's threads are still
// running, and exit's clean-up would wait for them.
[[noreturn]] inline void Fail(const std::string& why) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", why.c_str());
    std::_Exit(1);
}

inline void Shell(const std::string& cmd) {
    if (std::system(cmd.c_str()) != 0)
        Fail("failed: " + cmd);
}

inline void WriteText(const std::string& path, const std::string& text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, text.data(), text.size()) != ssize_t(text.size()))
        Fail("cannot write " + path);
    ::close(fd);
}

// A file of `size` bytes that differ from every other file's (by seed), so nothing can
// share them.
inline void WriteFile(const std::string& path, size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = char((i * 131 + seed * 7) & 0xff);
    WriteText(path, data);
}

// A benchmark's command line. Each option is asked for once, by name, with its default; an
// argument no one asked for, or an option without its value, makes Done() print the usage
// (the options in the order they were asked for) and return false.
class TArgs {
public:
    TArgs(int argc, char** argv) : program_(argv[0]), args_(argv + 1, argv + argc) {
        used_.assign(args_.size(), false);
    }
    bool Flag(const std::string& name) {
        usage_ += " [" + name + "]";
        const size_t at = Find(name);
        return at < args_.size();
    }
    std::string Text(const std::string& name, const std::string& fallback,
                     const char* what = "DIR") {
        usage_ += " [" + name + " " + what + "]";
        const size_t at = Find(name);
        if (at >= args_.size())
            return fallback;
        if (at + 1 >= args_.size()) {
            bad_ = true;
            return fallback;
        }
        used_[at + 1] = true;
        return args_[at + 1];
    }
    long Number(const std::string& name, long fallback, long least = 1) {
        const std::string text = Text(name, "", "N");
        return text.empty() ? fallback : std::max(least, std::atol(text.c_str()));
    }
    bool Done() const {
        if (!bad_ && std::find(used_.begin(), used_.end(), false) == used_.end())
            return true;
        std::fprintf(stderr, "usage: %s%s\n", program_.c_str(), usage_.c_str());
        return false;
    }

private:
    size_t Find(const std::string& name) {
        for (size_t i = 0; i < args_.size(); ++i)
            if (!used_[i] && args_[i] == name) {
                used_[i] = true;
                return i;
            }
        return args_.size();
    }
    std::string program_;
    std::vector<std::string> args_;
    std::vector<bool> used_;
    std::string usage_;
    bool bad_ = false;
};

// Where a benchmark makes its work directory unless told: $TMPDIR, else /tmp.
inline std::string DefaultWorkBase() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp ? tmp : "/tmp";
}

// A fresh directory from a mkdtemp pattern ("base/name-XXXXXX"); the program ends when none
// can be made.
inline std::string MakeWorkDir(const std::string& base, const std::string& name) {
    std::string dir = base + "/" + name + "-XXXXXX";
    if (!::mkdtemp(dir.data()))
        Fail("cannot make a directory in " + base);
    return dir;
}

namespace detail {
inline volatile std::sig_atomic_t benchChild = 0;
inline void PassSignal(int sig) {
    if (benchChild > 0)
        ::kill(pid_t(benchChild), sig);
}
} // namespace detail

// Runs the benchmark in a child process and removes `dirs` once it has ended, however it
// ended: done, failed, killed by a signal or stopped with Ctrl-C. The trees a benchmark
// makes run to gigabytes, and a stopped run must not leave them in /tmp. Ctrl-C reaches
// the whole process group; SIGTERM and SIGHUP sent to this process are passed on. Returns
// the child's exit status (128 + the signal that ended it).
template <class TBody> int RunRemovingAfter(const std::vector<std::string>& dirs, TBody body) {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = ::fork();
    if (child < 0)
        Fail("fork");
    if (child == 0) {
        // Line by line, so a run piped into a file or `tee` shows how far it got.
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        std::_Exit(body());
    }
    detail::benchChild = child;
    struct sigaction pass = {};
    pass.sa_handler = detail::PassSignal;
    ::sigaction(SIGTERM, &pass, nullptr);
    ::sigaction(SIGHUP, &pass, nullptr);
    // Ctrl-C ends the child (it reaches the group); this process stays to clean up.
    ::signal(SIGINT, SIG_IGN);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    for (const std::string& dir : dirs)
        if (!dir.empty() && std::system(("rm -rf '" + dir + "'").c_str()) != 0)
            std::fprintf(stderr, "could not remove all of %s\n", dir.c_str());
    if (WIFSIGNALED(status)) {
        std::fprintf(stderr, "stopped by signal %d; removed what it made\n", WTERMSIG(status));
        return 128 + WTERMSIG(status);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// root/d0 .. d<dirs-1>, each with files f0 .. f<filesPerDir-1> of `size` bytes.
inline void MakeTree(const std::string& root, int dirs, int filesPerDir, size_t size) {
    ::mkdir(root.c_str(), 0755);
    for (int d = 0; d < dirs; ++d) {
        std::string sub = root + "/d" + std::to_string(d);
        ::mkdir(sub.c_str(), 0755);
        for (int f = 0; f < filesPerDir; ++f)
            WriteFile(sub + "/f" + std::to_string(f), size, unsigned(d * filesPerDir + f));
    }
}

} // namespace ferrox::bench
