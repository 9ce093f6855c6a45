#pragma once
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

namespace ferrox {

// The program's entry in the task bar or dock, as the com.canonical.Unity.LauncherEntry
// signals describe it (KDE Plasma's task manager, Dash to Dock, Plank and Latte read them):
// a share of the work done, shown while a run goes on. Lives on a thread with an event loop.
class TLauncherEntry : public QObject {
    Q_OBJECT
public:
    // At most this many Update signals a second: a docked bar cannot show more.
    static constexpr int MaxPerSecond = 4;

    // desktopId: the desktop entry's file name without ".desktop".
    TLauncherEntry(QDBusConnection bus, const QString& desktopId, QObject* parent = nullptr);

    // The share done, 0 to 1, shown; a value within the interval of the last one comes when
    // that has passed (the latest of them only).
    void Show(double share);
    // No progress shown any more: at once, and whatever was still to come is dropped.
    void Hide();
    // How many Update signals went out.
    int Sent() const { return sent_; }

private:
    void SendPending();
    void Send(double share, bool visible);

    QDBusConnection bus_;
    QString appUri_;
    QTimer timer_;
    QElapsedTimer sinceLast_;
    std::optional<double> pending_;
    bool visible_ = false;
    int sent_ = 0;
};

} // namespace ferrox
