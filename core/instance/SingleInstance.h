#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/instance/QueueRequest.h"
#include "platform/Fd.h"

namespace ferrox {

// One window per user: a `ferrox PATH...` command hands its request to the window that
// runs already, or becomes that window itself. This module holds both ends: the socket
// and its lock, the messages (QueueRequest.h), the command's side (HandOver) and the
// window's (TInstanceServer). The window only applies the requests it is handed.

// Where this user's running window listens for `ferrox` commands, and the lock file
// beside it that lets one process at a time decide whether it is to be the listener.
struct TInstancePlaces {
    std::string Socket;
    std::string Lock;
};

// In $XDG_RUNTIME_DIR (private to the user by its definition); none when that is unset or
// not an absolute path.
std::optional<TInstancePlaces> InstancePlacesFromEnvironment();
TInstancePlaces InstancePlacesIn(const std::string& directory);

// The socket this process listens on (non-blocking). When it goes, its file goes too,
// unless the file is no longer the one it made.
class TInstanceListener {
public:
    TInstanceListener(TFd socket, TInstancePlaces places, uint64_t device, uint64_t inode)
        : socket_(std::move(socket)), places_(std::move(places)), device_(device), inode_(inode) {}
    ~TInstanceListener();
    TInstanceListener(const TInstanceListener&) = delete;
    TInstanceListener& operator=(const TInstanceListener&) = delete;

    int Fd() const { return socket_.Get(); }

private:
    TFd socket_;
    TInstancePlaces places_;
    uint64_t device_, inode_;
};

struct TInstanceClaim {
    enum TKind {
        Connected, // a window listens: Connection leads to it (blocking)
        Listening, // none did: this process listens now
        Failed,    // neither: Error and Where say why
    } Kind = Failed;
    TFd Connection;
    std::unique_ptr<TInstanceListener> Listener;
    int Error = 0;
    std::string Where;
};

// Connects to the window listening at places.Socket or, when none listens there, starts
// listening there (mode 0600). One process at a time decides, holding the lock file, so
// of two started together one listens and the other connects to it. A socket file that
// nobody listens on (its window was killed) is taken over.
TInstanceClaim ClaimInstance(const TInstancePlaces& places);

// --- The command's side -------------------------------------------------------------------

// What became of a request handed to the running window: the exit status, and what to
// print on stderr (empty when all went as asked; the window's note when it was queued
// with one).
struct THandOverResult {
    int ExitStatus = 1;
    std::string Message;
};

// Sends the request over the connection to the window listening at `socket` and waits
// for its answer: 0 once the window has queued it, 1 with the reason when it refused it,
// answered nothing, or is another user's.
THandOverResult HandOver(TFd connection, const TQueueRequest& request, const std::string& socket);

// --- The window's side --------------------------------------------------------------------

// Gives a request's answer back to its caller, once; a second call, or one after the
// server has gone, does nothing.
using TAnswerRequest = std::function<void(const TQueueAnswer& answer)>;

// What the window does with the requests.
struct TInstanceHandlers {
    // Applies a request and answers it, at once or later (after a queue load under way,
    // say), on the thread that calls Serve.
    std::function<void(const TQueueRequest& request, TAnswerRequest answer)> Apply;
    // A connection refused before its request could be applied (cut short, garbled, too
    // large, quiet too long, another user's): for the log. The caller is told already.
    std::function<void(const std::string& why)> Refused;
};

// Hears `ferrox PATH...` commands on the socket this process listens on. Each
// connection's message, once whole, goes to Apply; the answer goes back to its caller. A
// connection from another user, a message that is garbled or too large, or one that ends
// early is refused (Refused, and an answer saying why); nothing of it is applied.
//
// A caller sends its message at once. A connection that sends nothing for IdleTimeoutMs
// is closed (refused when it had begun a message), and no more than MaxConnections are
// open at a time: the one that has been quiet longest makes room for a new one. So
// connections that never send cannot take the window's descriptors, nor keep a caller
// waiting behind them.
//
// It runs on the owner's event loop, never on a thread of its own: the loop watches Fd()
// for reading and calls Serve() when it is readable. Single-threaded; Serve may be called
// again from inside Apply (a nested event loop).
class TInstanceServer {
public:
    static constexpr int IdleTimeoutMs = 5000;
    static constexpr size_t MaxConnections = 32;

    TInstanceServer(std::unique_ptr<TInstanceListener> listener, TInstanceHandlers handlers);
    // Callers still waiting learn that the window closed.
    ~TInstanceServer();
    TInstanceServer(const TInstanceServer&) = delete;
    TInstanceServer& operator=(const TInstanceServer&) = delete;

    // Readable while there is something to do: a caller to accept, bytes to read, room
    // to write an answer, a connection quiet too long. -1 when the server could not be
    // set up (out of descriptors): it has given the socket up then.
    int Fd() const { return poll_.Get(); }
    // Does what is due now, without waiting.
    void Serve();

private:
    struct TConnection;
    enum TWatch { None, Reading, Writing };
    void Watch(uint64_t id, int fd, TWatch watch);
    void Accept();
    void WatchListener(bool on);
    // Closes the connection still reading that has been quiet longest; false: none reads.
    bool DropQuietest();
    void TimedOut(uint64_t id);
    void TimersDue();
    void SetTimer();
    void Read(uint64_t id);
    void Refuse(uint64_t id, const std::string& why);
    void Answer(uint64_t id, std::string answer);
    void Write(uint64_t id);
    void Close(uint64_t id);

    std::unique_ptr<TInstanceListener> listener_;
    TInstanceHandlers handlers_;
    TFd poll_;  // an epoll set: the listener, the connections, the timer
    TFd timer_; // the next idle time-out
    bool listening_ = false;
    std::map<uint64_t, std::unique_ptr<TConnection>> connections_;
    uint64_t nextId_ = 0;
    // What an answer given later finds the server by; gone with it.
    std::shared_ptr<TInstanceServer*> self_;
};

// Socket helpers both sides use.
//
// The user id of the process at the other end of a local socket (SO_PEERCRED), -1 when
// it cannot be read.
int64_t PeerUid(int fd);
// Sends all of data, without SIGPIPE when the other end has gone; 0 or errno.
int SendAll(int fd, std::string_view data);
// Reads into `received` until the other end closes or enough(received) is true; 0 or
// errno.
int ReceiveUntil(int fd, std::string& received,
                 const std::function<bool(std::string_view)>& enough);

} // namespace ferrox
