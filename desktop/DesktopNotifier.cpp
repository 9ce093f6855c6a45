#include "desktop/DesktopNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace ferrox {

namespace {
constexpr const char* Service = "org.freedesktop.Notifications";
constexpr const char* Path = "/org/freedesktop/Notifications";
// The action a click on the notification itself invokes.
constexpr const char* DefaultAction = "default";
} // namespace

TDesktopNotifier::TDesktopNotifier(QDBusConnection bus, const QString& desktopId, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), desktopId_(desktopId) {
    if (!bus_.isConnected())
        return;
    bus_.connect(Service, Path, Service, "ActionInvoked", this, SLOT(ActionInvoked(uint, QString)));
    bus_.connect(Service, Path, Service, "NotificationClosed", this,
                 SLOT(NotificationClosed(uint, uint)));
}

void TDesktopNotifier::Notify(const QString& summary, const QString& body,
                              std::function<void()> activated) {
    if (!bus_.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Service, "Notify");
    QVariantMap hints;
    // Lets the server group it with the program and find its icon and name.
    hints.insert("desktop-entry", desktopId_);
    call << QString("Ferrox") << shown_ << desktopId_ << summary << body
         << QStringList{DefaultAction, "Show Ferrox"} << hints << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, watcher, activated = std::move(activated)] {
                watcher->deleteLater();
                QDBusPendingReply<uint> reply = *watcher;
                // No service, or it refused: nothing is shown and nothing will call back.
                if (reply.isError())
                    return;
                shown_ = reply.value();
                activated_ = activated;
            });
}

void TDesktopNotifier::ActionInvoked(uint id, const QString& action) {
    if (id == 0 || id != shown_)
        return; // another program's
    if (action == DefaultAction && activated_)
        activated_();
}

void TDesktopNotifier::NotificationClosed(uint id, uint) {
    if (id != 0 && id == shown_) {
        shown_ = 0;
        activated_ = nullptr;
    }
}

} // namespace ferrox
