#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Fd.h"

namespace ferrox {

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
