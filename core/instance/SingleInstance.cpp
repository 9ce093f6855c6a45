#include "core/instance/SingleInstance.h"

#include "platform/SysError.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace ferrox {

namespace {

bool AddressOf(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

// The lock file, opened and locked; an empty TFd with `error` set when it cannot be.
TFd LockPlaces(const TInstancePlaces& places, int& error) {
    TFd lock(
        ::open(places.Lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
    if (!lock) {
        error = errno;
        return {};
    }
    while (::flock(lock.Get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            error = errno;
            return {};
        }
    }
    return lock;
}

TInstanceClaim Failure(int error, const std::string& where) {
    TInstanceClaim claim;
    claim.Error = error;
    claim.Where = where;
    return claim;
}

} // namespace

std::optional<TInstancePlaces> InstancePlacesFromEnvironment() {
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    if (!dir || dir[0] != '/')
        return std::nullopt;
    return InstancePlacesIn(dir);
}

TInstancePlaces InstancePlacesIn(const std::string& directory) {
    std::string base = directory;
    if (base.empty() || base.back() != '/')
        base += '/';
    return {base + "ferrox.socket", base + "ferrox.lock"};
}

TInstanceListener::~TInstanceListener() {
    // Closed first: a process waiting in connect() for room in the backlog, while it holds
    // the lock, is refused now instead of waiting for us while we wait for the lock.
    socket_.Reset();
    int error = 0;
    TFd lock = LockPlaces(places_, error);
    // Without the lock a new window could be listening under the name already; the check
    // of the file's identity below still keeps its socket.
    struct stat st;
    if (::lstat(places_.Socket.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_)
        ::unlink(places_.Socket.c_str());
}

TInstanceClaim ClaimInstance(const TInstancePlaces& places) {
    sockaddr_un address;
    if (!AddressOf(places.Socket, address))
        return Failure(ENAMETOOLONG, places.Socket);
    int error = 0;
    TFd lock = LockPlaces(places, error);
    if (!lock)
        return Failure(error, places.Lock);

    TFd connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!connection)
        return Failure(errno, places.Socket);
    if (::connect(connection.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        TInstanceClaim claim;
        claim.Kind = TInstanceClaim::Connected;
        claim.Connection = std::move(connection);
        return claim;
    }
    error = errno;
    if (error == ECONNREFUSED) {
        // Nobody listens: its window ended without removing it. Only a socket is ours to
        // remove; anything else under the name is left alone.
        struct stat st;
        if (::lstat(places.Socket.c_str(), &st) == 0) {
            if (!S_ISSOCK(st.st_mode))
                return Failure(ENOTSOCK, places.Socket);
            if (::unlink(places.Socket.c_str()) != 0 && errno != ENOENT)
                return Failure(errno, places.Socket);
        }
    } else if (error != ENOENT) {
        return Failure(error, places.Socket);
    }

    TFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener)
        return Failure(errno, places.Socket);
    // Made private from the start: the mode bind gives comes from the umask. No other
    // thread runs while a program decides this at its start.
    const mode_t umask = ::umask(0177);
    const int bound = ::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    error = errno;
    ::umask(umask);
    if (bound != 0)
        return Failure(error, places.Socket);
    struct stat st;
    if (::listen(listener.Get(), SOMAXCONN) != 0 || ::lstat(places.Socket.c_str(), &st) != 0) {
        error = errno;
        ::unlink(places.Socket.c_str());
        return Failure(error, places.Socket);
    }
    TInstanceClaim claim;
    claim.Kind = TInstanceClaim::Listening;
    claim.Listener =
        std::make_unique<TInstanceListener>(std::move(listener), places, st.st_dev, st.st_ino);
    return claim;
}

THandOverResult HandOver(TFd connection, const TQueueRequest& request, const std::string& socket) {
    const int fd = connection.Get();
    // Our own runtime directory is private to us; a socket there of someone else (a window
    // run with sudo, say) gets none of our paths.
    const int64_t uid = PeerUid(fd);
    if (uid != static_cast<int64_t>(::getuid()))
        return {1, "the window listening at " + socket + " runs as user id " + std::to_string(uid) +
                       "; nothing was queued"};
    // A window that refuses a message before its end (too large, say) answers and closes
    // while we still send: its answer, waiting for us, says why better than the pipe.
    const int sendError = SendAll(fd, EncodeRequest(request));
    std::string received;
    const int error = ReceiveUntil(fd, received, [](std::string_view bytes) {
        return CheckMessage(bytes, AnswerKind, MaxAnswerBody).State != TMessageCheck::NeedMore;
    });
    if (sendError != 0 && !DecodeAnswer(received))
        return {1, "cannot reach the running window: " + SysErrorMessage(sendError)};
    if (error != 0 && !DecodeAnswer(received))
        return {1, "no answer from the running window: " + SysErrorMessage(error)};
    const std::optional<TQueueAnswer> answer = DecodeAnswer(received);
    if (!answer)
        return {1, received.empty() ? "the running window closed before it queued the paths"
                                    : "the running window's answer cannot be read"};
    // Queued: what it says is a note (a destination that found no line to go to).
    return {answer->Queued ? 0 : 1, answer->Reason};
}

int64_t PeerUid(int fd) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
        size != sizeof credentials)
        return -1;
    return credentials.uid;
}

int SendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

int ReceiveUntil(int fd, std::string& received,
                 const std::function<bool(std::string_view)>& enough) {
    char buffer[4096];
    while (!enough(received)) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return 0;
        received.append(buffer, static_cast<size_t>(n));
    }
    return 0;
}

} // namespace ferrox
