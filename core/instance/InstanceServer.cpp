#include "core/instance/SingleInstance.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <vector>

namespace ferrox {

namespace {

using TClock = std::chrono::steady_clock;

// What an event of the epoll set is about; connections count up from here.
constexpr uint64_t ListenerKey = 0;
constexpr uint64_t TimerKey = 1;
constexpr uint64_t FirstConnection = 2;

} // namespace

struct TInstanceServer::TConnection {
    TFd Fd;
    TWatch Watched = None;
    bool Reading = true; // its message is still to come
    TClock::time_point LastHeard = TClock::now();
    std::string Received;
    std::string Unsent;
};

TInstanceServer::TInstanceServer(std::unique_ptr<TInstanceListener> listener,
                                 TInstanceHandlers handlers)
    : listener_(std::move(listener)), handlers_(std::move(handlers)),
      poll_(::epoll_create1(EPOLL_CLOEXEC)),
      timer_(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)),
      nextId_(FirstConnection), self_(std::make_shared<TInstanceServer*>(this)) {
    if (!poll_ || !timer_) {
        // Nothing could hear the callers: the socket goes, so that the next command opens
        // a window of its own instead of waiting for this one.
        listener_.reset();
        poll_.Reset();
        return;
    }
    epoll_event timer{EPOLLIN, {.u64 = TimerKey}};
    ::epoll_ctl(poll_.Get(), EPOLL_CTL_ADD, timer_.Get(), &timer);
    WatchListener(true);
    // Callers that connected while the window was being made are in the backlog already.
    Accept();
    SetTimer();
}

TInstanceServer::~TInstanceServer() {
    // Answers given from now on find no server.
    self_.reset();
}

void TInstanceServer::Serve() {
    epoll_event events[32];
    const int n = ::epoll_wait(poll_.Get(), events, 32, 0);
    // Each event names what it was about when it came: a connection closed by an earlier
    // one (or by a Serve nested in Apply) is looked up in vain and passed over.
    for (int i = 0; i < n; ++i) {
        const uint64_t key = events[i].data.u64;
        if (key == ListenerKey)
            Accept();
        else if (key == TimerKey)
            TimersDue();
        else if (events[i].events & EPOLLOUT)
            Write(key);
        else
            Read(key);
    }
    SetTimer();
}

void TInstanceServer::Watch(uint64_t id, int fd, TWatch watch) {
    auto it = connections_.find(id);
    TWatch& watched = it->second->Watched;
    if (watch == watched)
        return;
    // A connection waiting for its answer is out of the set: a caller that hangs up
    // meanwhile would make it readable again and again.
    epoll_event event{watch == Writing ? uint32_t(EPOLLOUT) : uint32_t(EPOLLIN), {.u64 = id}};
    const int op = watched == None ? EPOLL_CTL_ADD : watch == None ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
    ::epoll_ctl(poll_.Get(), op, fd, &event);
    watched = watch;
}

void TInstanceServer::WatchListener(bool on) {
    if (on == listening_)
        return;
    epoll_event event{EPOLLIN, {.u64 = ListenerKey}};
    ::epoll_ctl(poll_.Get(), on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, listener_->Fd(), &event);
    listening_ = on;
}

void TInstanceServer::Accept() {
    for (;;) {
        if (connections_.size() >= MaxConnections && !DropQuietest()) {
            // Every one waits for the window's answer: the rest wait in the backlog.
            WatchListener(false);
            return;
        }
        const int fd = ::accept4(listener_->Fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            // EAGAIN: all taken. Out of descriptors: the rest stay in the backlog until a
            // connection closes, rather than waking us again and again meanwhile.
            if (errno == EMFILE || errno == ENFILE)
                WatchListener(false);
            return;
        }
        const uint64_t id = nextId_++;
        auto connection = std::make_unique<TConnection>();
        connection->Fd = TFd(fd);
        connections_[id] = std::move(connection);
        Watch(id, fd, Reading);
        // The socket's directory is private already; this holds even where it is not.
        const int64_t uid = PeerUid(fd);
        if (uid != static_cast<int64_t>(::getuid()))
            Refuse(id, "from user id " + std::to_string(uid));
    }
}

bool TInstanceServer::DropQuietest() {
    auto quietest = connections_.end();
    for (auto it = connections_.begin(); it != connections_.end(); ++it)
        if (it->second->Reading &&
            (quietest == connections_.end() || it->second->LastHeard < quietest->second->LastHeard))
            quietest = it;
    if (quietest == connections_.end())
        return false;
    TimedOut(quietest->first);
    return true;
}

void TInstanceServer::TimedOut(uint64_t id) {
    auto it = connections_.find(id);
    if (it == connections_.end() || !it->second->Reading)
        return;
    // One that never said a word may just have looked whether a window listens.
    if (it->second->Received.empty())
        Close(id);
    else
        Refuse(id,
               "nothing more came after " + std::to_string(it->second->Received.size()) + " bytes");
}

void TInstanceServer::TimersDue() {
    uint64_t expirations;
    while (::read(timer_.Get(), &expirations, sizeof expirations) > 0) {
    }
    const TClock::time_point limit = TClock::now() - std::chrono::milliseconds(IdleTimeoutMs);
    std::vector<uint64_t> quiet;
    for (const auto& [id, c] : connections_)
        if (c->Reading && c->LastHeard <= limit)
            quiet.push_back(id);
    for (uint64_t id : quiet)
        TimedOut(id);
}

void TInstanceServer::SetTimer() {
    std::optional<TClock::time_point> next;
    for (const auto& [id, c] : connections_)
        if (c->Reading && (!next || c->LastHeard < *next))
            next = c->LastHeard;
    itimerspec when{};
    if (next) {
        // At least a nanosecond: zero would disarm it.
        const auto wait = std::max<TClock::duration>(
            *next + std::chrono::milliseconds(IdleTimeoutMs) - TClock::now(),
            std::chrono::nanoseconds(1));
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        when.it_value = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    }
    ::timerfd_settime(timer_.Get(), 0, &when, nullptr);
}

void TInstanceServer::Read(uint64_t id) {
    auto it = connections_.find(id);
    if (it == connections_.end() || !it->second->Reading)
        return;
    TConnection& c = *it->second;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(c.Fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n <= 0) {
            // A connection that ends having sent nothing only looked whether a window
            // listens (a window started without arguments does).
            if (c.Received.empty())
                Close(id);
            else
                Refuse(id, "cut short after " + std::to_string(c.Received.size()) + " bytes");
            return;
        }
        c.Received.append(buffer, static_cast<size_t>(n));
        c.LastHeard = TClock::now();
        const TMessageCheck check = CheckMessage(c.Received, RequestKind, MaxRequestBody);
        if (check.State == TMessageCheck::Broken) {
            Refuse(id, check.Why);
            return;
        }
        if (check.State == TMessageCheck::Whole) {
            c.Reading = false;
            Watch(id, c.Fd.Get(), None);
            TDecodedRequest decoded = DecodeRequest(c.Received);
            if (!decoded.Request) {
                Refuse(id, decoded.Why);
                return;
            }
            // Nothing of this connection is touched after Apply: it may have answered,
            // and the connection be gone, by the time it returns.
            handlers_.Apply(*decoded.Request, [self = std::weak_ptr<TInstanceServer*>(self_),
                                               id](const TQueueAnswer& answer) {
                if (auto server = self.lock())
                    (*server)->Answer(id, EncodeAnswer(answer));
            });
            return;
        }
    }
}

void TInstanceServer::Refuse(uint64_t id, const std::string& why) {
    if (handlers_.Refused)
        handlers_.Refused(why);
    Answer(id, EncodeAnswer({false, "the request was refused: " + why}));
}

void TInstanceServer::Answer(uint64_t id, std::string answer) {
    auto it = connections_.find(id);
    // Answered once: a connection still reading has not asked yet, one writing has had
    // its answer.
    if (it == connections_.end() || !it->second->Unsent.empty())
        return;
    it->second->Reading = false;
    it->second->Unsent = std::move(answer);
    Write(id);
}

void TInstanceServer::Write(uint64_t id) {
    auto it = connections_.find(id);
    if (it == connections_.end())
        return;
    TConnection& c = *it->second;
    while (!c.Unsent.empty()) {
        const ssize_t n =
            ::send(c.Fd.Get(), c.Unsent.data(), c.Unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            Watch(id, c.Fd.Get(), Writing);
            return;
        }
        if (n < 0)
            break; // the caller has gone
        c.Unsent.erase(0, static_cast<size_t>(n));
    }
    Close(id);
}

void TInstanceServer::Close(uint64_t id) {
    // Closing the descriptor takes it out of the epoll set.
    connections_.erase(id);
    WatchListener(true);
}

} // namespace ferrox
