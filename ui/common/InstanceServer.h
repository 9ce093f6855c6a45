#pragma once
#include <QObject>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/LocalSocket.h"

class QSocketNotifier;

namespace ferrox {

class TfrmMain;

// Hears `ferrox PATH...` commands for the window on the socket this process listens on.
// It only carries bytes: each connection's message, once whole, goes to the core as one
// of the window's list commands (so it waits for a queue load or save under way and for
// the requests before it), and the core's answer goes back. A connection from another
// user, a message that is garbled or too large, or one that ends early is refused by the
// core, which logs it; nothing of it is queued.
//
// A caller sends its message at once. A connection that sends nothing for IdleTimeoutMs
// is closed (refused when it had begun a message), and no more than MaxConnections are
// open at a time: the one that has been quiet longest makes room for a new one. So
// connections that never send cannot take the window's descriptors, nor keep a
// caller waiting behind them.
class TInstanceServer : public QObject {
public:
    static constexpr int IdleTimeoutMs = 5000;
    static constexpr size_t MaxConnections = 32;

    TInstanceServer(std::unique_ptr<TInstanceListener> listener, TfrmMain& window);
    ~TInstanceServer() override;

private:
    struct TConnection;
    void Accept();
    // Closes the connection still reading that has been quiet longest; false: none reads.
    bool DropQuietest();
    void TimedOut(uint64_t id);
    void Read(uint64_t id);
    void Refuse(uint64_t id, const std::string& why);
    void Answer(uint64_t id, std::string answer);
    void Write(uint64_t id);
    void Close(uint64_t id);

    std::unique_ptr<TInstanceListener> listener_;
    TfrmMain& window_;
    QSocketNotifier* acceptNotifier_ = nullptr;
    std::map<uint64_t, std::unique_ptr<TConnection>> connections_;
    uint64_t nextId_ = 0;
};

} // namespace ferrox
