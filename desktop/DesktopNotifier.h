#pragma once
#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <functional>

namespace ferrox {

// Desktop notifications (org.freedesktop.Notifications) for the program: one at a time,
// each replacing the one before; activating it (a click, or its "Show" action) calls back.
// Nothing happens without a notification service. Lives on a thread with an event loop;
// the call is not waited for.
class TDesktopNotifier : public QObject {
    Q_OBJECT
public:
    // desktopId: the desktop entry's name without ".desktop", which is also the icon's.
    TDesktopNotifier(QDBusConnection bus, const QString& desktopId, QObject* parent = nullptr);

    void Notify(const QString& summary, const QString& body, std::function<void()> activated);

private slots:
    void ActionInvoked(uint id, const QString& action);
    void NotificationClosed(uint id, uint reason);

private:
    QDBusConnection bus_;
    QString desktopId_;
    uint shown_ = 0; // the server's id of the notification shown; 0: none
    std::function<void()> activated_;
};

} // namespace ferrox
