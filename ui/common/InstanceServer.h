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
class TInstanceServer : public QObject {
public:
    TInstanceServer(std::unique_ptr<TInstanceListener> listener, TfrmMain& window);
    ~TInstanceServer() override;

private:
    struct TConnection;
    void Accept();
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
