#include "ui/common/InstanceServer.h"

#include "core/QueueRequest.h"
#include "ui/modMain/frmMain.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <sys/socket.h>
#include <unistd.h>

namespace ferrox {

struct TInstanceServer::TConnection {
    TFd Fd;
    QSocketNotifier* Reader = nullptr;
    QSocketNotifier* Writer = nullptr;
    QTimer* Idle = nullptr; // runs while the message is still to come
    std::chrono::steady_clock::time_point LastHeard = std::chrono::steady_clock::now();
    std::string Received;
    std::string Unsent;

    bool Reading() const { return Reader && Reader->isEnabled(); }

    ~TConnection() {
        // Possibly inside one of their own signals: they go once it has returned, and
        // hear nothing of the descriptor closed meanwhile.
        for (QSocketNotifier* notifier : {Reader, Writer})
            if (notifier) {
                notifier->setEnabled(false);
                notifier->deleteLater();
            }
        if (Idle) {
            Idle->stop();
            Idle->deleteLater();
        }
    }
};

TInstanceServer::TInstanceServer(std::unique_ptr<TInstanceListener> listener, TfrmMain& window)
    : listener_(std::move(listener)), window_(window) {
    acceptNotifier_ = new QSocketNotifier(listener_->Fd(), QSocketNotifier::Read, this);
    connect(acceptNotifier_, &QSocketNotifier::activated, this, [this] { Accept(); });
    // Callers that connected while the window was being made are in the backlog already.
    Accept();
}

TInstanceServer::~TInstanceServer() {
    // The notifiers go with this object; the descriptors first, so none fires on a
    // closed one.
    connections_.clear();
    delete acceptNotifier_;
}

void TInstanceServer::Accept() {
    for (;;) {
        if (connections_.size() >= MaxConnections && !DropQuietest()) {
            // Every one waits for the window's answer: the rest wait in the backlog.
            acceptNotifier_->setEnabled(false);
            return;
        }
        const int fd = ::accept4(listener_->Fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            // EAGAIN: all taken. Out of descriptors: the rest stay in the backlog until a
            // connection closes, rather than waking us again and again meanwhile.
            if (errno == EMFILE || errno == ENFILE)
                acceptNotifier_->setEnabled(false);
            return;
        }
        const uint64_t id = nextId_++;
        auto connection = std::make_unique<TConnection>();
        connection->Fd = TFd(fd);
        connection->Reader = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(connection->Reader, &QSocketNotifier::activated, this, [this, id] { Read(id); });
        connection->Idle = new QTimer(this);
        connection->Idle->setSingleShot(true);
        connect(connection->Idle, &QTimer::timeout, this, [this, id] { TimedOut(id); });
        connection->Idle->start(IdleTimeoutMs);
        connections_[id] = std::move(connection);
        // The socket's directory is private already; this holds even where it is not.
        const int64_t uid = PeerUid(fd);
        if (uid != static_cast<int64_t>(::getuid()))
            Refuse(id, "from user id " + std::to_string(uid));
    }
}

bool TInstanceServer::DropQuietest() {
    auto quietest = connections_.end();
    for (auto it = connections_.begin(); it != connections_.end(); ++it)
        if (it->second->Reading() &&
            (quietest == connections_.end() || it->second->LastHeard < quietest->second->LastHeard))
            quietest = it;
    if (quietest == connections_.end())
        return false;
    TimedOut(quietest->first);
    return true;
}

void TInstanceServer::TimedOut(uint64_t id) {
    auto it = connections_.find(id);
    if (it == connections_.end() || !it->second->Reading())
        return;
    // One that never said a word may just have looked whether a window listens.
    if (it->second->Received.empty())
        Close(id);
    else
        Refuse(id,
               "nothing more came after " + std::to_string(it->second->Received.size()) + " bytes");
}

void TInstanceServer::Read(uint64_t id) {
    auto it = connections_.find(id);
    if (it == connections_.end())
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
        c.LastHeard = std::chrono::steady_clock::now();
        c.Idle->start(IdleTimeoutMs);
        const TMessageCheck check = CheckMessage(c.Received, RequestKind, MaxRequestBody);
        if (check.State == TMessageCheck::Broken) {
            Refuse(id, check.Why);
            return;
        }
        if (check.State == TMessageCheck::Whole) {
            c.Reader->setEnabled(false);
            c.Idle->stop();
            window_.RunRequest([self = QPointer(this), id, message = std::move(c.Received)] {
                if (self)
                    self->Answer(id, self->window_.Core().AnswerRequestMessage(message));
            });
            return;
        }
    }
}

void TInstanceServer::Refuse(uint64_t id, const std::string& why) {
    Answer(id, window_.Core().RefuseRequestMessage(why));
}

void TInstanceServer::Answer(uint64_t id, std::string answer) {
    auto it = connections_.find(id);
    if (it == connections_.end())
        return;
    it->second->Reader->setEnabled(false);
    it->second->Idle->stop();
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
            if (!c.Writer) {
                c.Writer = new QSocketNotifier(c.Fd.Get(), QSocketNotifier::Write, this);
                connect(c.Writer, &QSocketNotifier::activated, this, [this, id] { Write(id); });
            }
            return;
        }
        if (n < 0)
            break; // the caller has gone
        c.Unsent.erase(0, static_cast<size_t>(n));
    }
    Close(id);
}

void TInstanceServer::Close(uint64_t id) {
    connections_.erase(id);
    acceptNotifier_->setEnabled(true);
}

} // namespace ferrox
