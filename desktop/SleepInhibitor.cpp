#include "desktop/SleepInhibitor.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QString>

#include <atomic>
#include <optional>

namespace ferrox {

namespace {

// A bus that does not answer within this must not hold up a run's start: the run goes on
// without the lock.
constexpr int CallTimeoutMs = 1000;
// "block" keeps the system awake; a suspend asked for meanwhile waits for the release.
constexpr const char* LogindMode = "block";
// org.gnome.SessionManager's flag for "suspending the session or computer".
constexpr uint GnomeInhibitSuspend = 4;

QString UniqueConnectionName(const char* role) {
    static std::atomic<int> next{0};
    return QString("ferrox-inhibit-%1-%2").arg(role).arg(next.fetch_add(1));
}

std::optional<QDBusMessage> Call(const QDBusConnection& bus, const char* service, const char* path,
                                 const char* interface, const char* method,
                                 const QVariantList& arguments) {
    if (!bus.isConnected())
        return std::nullopt;
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(arguments);
    QDBusMessage reply = bus.call(call, QDBus::Block, CallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    return reply;
}

} // namespace

struct TSleepInhibitor::TImpl {
    enum TVia { None, Logind, PowerManagement, Gnome };

    TImpl(QDBusConnection system, QDBusConnection session, QStringList own)
        : System(std::move(system)), Session(std::move(session)), Own(std::move(own)) {}
    ~TImpl() {
        for (const QString& name : Own)
            QDBusConnection::disconnectFromBus(name);
    }

    QDBusConnection System;
    QDBusConnection Session;
    QStringList Own; // the private connections to close
    TVia Via = None;
    QDBusUnixFileDescriptor Lock; // logind's: the lock lasts while it is open
    uint Cookie = 0;
    bool Refused = false; // no inhibitor took it: not asked again before a Release
};

TSleepInhibitor::TSleepInhibitor()
    : impl_(std::make_unique<TImpl>(QDBusConnection::systemBus(), QDBusConnection::sessionBus(),
                                    QStringList{})) {}

TSleepInhibitor::TSleepInhibitor(const std::string& systemBusAddress,
                                 const std::string& sessionBusAddress) {
    QStringList own;
    auto connect = [&](const std::string& address, const char* role) {
        const QString name = UniqueConnectionName(role);
        own << name;
        if (address.empty())
            return QDBusConnection(name); // never connected
        return QDBusConnection::connectToBus(QString::fromStdString(address), name);
    };
    QDBusConnection system = connect(systemBusAddress, "system");
    QDBusConnection session = connect(sessionBusAddress, "session");
    impl_ = std::make_unique<TImpl>(std::move(system), std::move(session), std::move(own));
}

TSleepInhibitor::~TSleepInhibitor() {
    Release();
}

bool TSleepInhibitor::Hold(const std::string& why) {
    TImpl& d = *impl_;
    if (d.Via != TImpl::None)
        return true;
    if (d.Refused)
        return false;
    const QString reason = QString::fromStdString(why);
    if (auto reply = Call(d.System, "org.freedesktop.login1", "/org/freedesktop/login1",
                          "org.freedesktop.login1.Manager", "Inhibit",
                          {"sleep", "Ferrox", reason, LogindMode})) {
        d.Lock = qvariant_cast<QDBusUnixFileDescriptor>(reply->arguments().at(0));
        if (d.Lock.isValid()) {
            d.Via = TImpl::Logind;
            return true;
        }
    }
    if (auto reply =
            Call(d.Session, "org.freedesktop.PowerManagement",
                 "/org/freedesktop/PowerManagement/Inhibit",
                 "org.freedesktop.PowerManagement.Inhibit", "Inhibit", {"Ferrox", reason})) {
        d.Cookie = reply->arguments().at(0).toUInt();
        d.Via = TImpl::PowerManagement;
        return true;
    }
    if (auto reply = Call(d.Session, "org.gnome.SessionManager", "/org/gnome/SessionManager",
                          "org.gnome.SessionManager", "Inhibit",
                          {"org.ferrox.Ferrox", uint(0), reason, GnomeInhibitSuspend})) {
        d.Cookie = reply->arguments().at(0).toUInt();
        d.Via = TImpl::Gnome;
        return true;
    }
    d.Refused = true;
    return false;
}

void TSleepInhibitor::Release() {
    TImpl& d = *impl_;
    d.Refused = false;
    // The desktop's inhibitors also end when our connection does; the program may live on.
    switch (d.Via) {
    case TImpl::None:
        return;
    case TImpl::Logind:
        d.Lock = QDBusUnixFileDescriptor();
        break;
    case TImpl::PowerManagement:
        Call(d.Session, "org.freedesktop.PowerManagement",
             "/org/freedesktop/PowerManagement/Inhibit", "org.freedesktop.PowerManagement.Inhibit",
             "UnInhibit", {d.Cookie});
        break;
    case TImpl::Gnome:
        Call(d.Session, "org.gnome.SessionManager", "/org/gnome/SessionManager",
             "org.gnome.SessionManager", "Uninhibit", {d.Cookie});
        break;
    }
    d.Via = TImpl::None;
}

std::string TSleepInhibitor::HeldBy() const {
    switch (impl_->Via) {
    case TImpl::Logind:
        return "logind";
    case TImpl::PowerManagement:
        return "PowerManagement";
    case TImpl::Gnome:
        return "GNOME";
    case TImpl::None:
        break;
    }
    return {};
}

} // namespace ferrox
