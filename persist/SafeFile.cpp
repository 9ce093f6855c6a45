#include "persist/SafeFile.h"

#include "platform/FileSystem.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace ferrox {

namespace {

class TFd {
public:
    explicit TFd(int fd) : fd_(fd) {}
    ~TFd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return fd_; }
    // Closes now; false when the close reported an error (a late write failure).
    bool Close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 || errno == EINTR;
    }

private:
    int fd_;
};

// A name beside the target that no one else uses; a leading dot keeps it out of sight,
// and the marker tells a left-over one (after a crash) apart from the user's files.
std::string TempNameFor(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return dir + "." + base + ".ferrox-tmp-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter.fetch_add(1));
}

} // namespace

std::string ReadWholeFile(const std::string& path, bool* missing) {
    if (missing)
        *missing = false;
    int raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (raw < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            if (missing)
                *missing = true;
            return {};
        }
        throw std::runtime_error("Unable to read " + path);
    }
    TFd fd(raw);
    std::string content;
    struct stat st;
    if (::fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        content.reserve(static_cast<size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd.Get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::runtime_error("Unable to read " + path);
        if (n == 0)
            break;
        content.append(buf, static_cast<size_t>(n));
    }
    return content;
}

void ReplaceFileContent(const std::string& path, std::string_view content) {
    const std::string failure = "Unable to write to " + path;
    mode_t mode = 0666; // less the umask, as for any new file
    struct stat old;
    bool keepMode = ::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);

    std::string temp;
    int raw = -1;
    for (int attempt = 0; attempt < 100 && raw < 0; ++attempt) {
        temp = TempNameFor(path);
        raw = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (raw < 0 && errno != EEXIST)
            break;
    }
    if (raw < 0)
        throw std::runtime_error(failure);
    TFd fd(raw);
    bool ok = WriteAll(fd.Get(), content) == 0 &&
              (!keepMode || ::fchmod(fd.Get(), old.st_mode & 07777) == 0) && ::fsync(fd.Get()) == 0;
    ok = fd.Close() && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        throw std::runtime_error(failure);
    }
    // The rename itself reaches the disk with the directory; a failure here loses nothing
    // that was on disk before.
    int dir = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

bool LinkOrCopyAs(const std::string& from, const std::string& to) {
    std::string temp = TempNameFor(to);
    if (::link(from.c_str(), temp.c_str()) == 0) {
        if (::rename(temp.c_str(), to.c_str()) == 0)
            return true;
        ::unlink(temp.c_str());
    }
    try {
        ReplaceFileContent(to, ReadWholeFile(from));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return ::lstat(a.c_str(), &sa) == 0 && ::lstat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

} // namespace ferrox
