#include "desktop/LauncherEntry.h"

#include <QDBusMessage>
#include <QVariantMap>

#include <algorithm>

namespace ferrox {

namespace {
constexpr int IntervalMs = 1000 / TLauncherEntry::MaxPerSecond;
// Any object path will do: the listeners match the interface and the application's URI.
constexpr const char* EntryPath = "/org/ferrox/Ferrox/LauncherEntry";
} // namespace

TLauncherEntry::TLauncherEntry(QDBusConnection bus, const QString& desktopId, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), appUri_("application://" + desktopId + ".desktop"),
      timer_(this) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &TLauncherEntry::SendPending);
}

void TLauncherEntry::Show(double share) {
    pending_ = std::clamp(share, 0.0, 1.0);
    if (timer_.isActive())
        return;
    const qint64 wait = sinceLast_.isValid() ? IntervalMs - sinceLast_.elapsed() : 0;
    if (wait <= 0)
        SendPending();
    else
        timer_.start(int(wait));
}

void TLauncherEntry::Hide() {
    timer_.stop();
    pending_.reset();
    if (visible_)
        Send(0, false);
}

void TLauncherEntry::SendPending() {
    if (!pending_)
        return;
    const double share = *pending_;
    pending_.reset();
    Send(share, true);
}

void TLauncherEntry::Send(double share, bool visible) {
    visible_ = visible;
    sinceLast_.start();
    if (!bus_.isConnected())
        return;
    QDBusMessage update =
        QDBusMessage::createSignal(EntryPath, "com.canonical.Unity.LauncherEntry", "Update");
    QVariantMap properties;
    properties.insert("progress", share);
    properties.insert("progress-visible", visible);
    update << appUri_ << properties;
    if (bus_.send(update))
        ++sent_;
}

} // namespace ferrox
