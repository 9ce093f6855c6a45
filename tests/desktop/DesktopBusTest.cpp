// The desktop's services as a private session bus offers them (ctest runs this under
// dbus-run-session): fake inhibitors, a fake notification server and a listener for the
// task bar's signals, each on a connection of its own.
#include "core/RunAwake.h"
#include "desktop/DesktopNotifier.h"
#include "desktop/LauncherEntry.h"
#include "desktop/SleepInhibitor.h"
#include "platform/Event.h"
#include "platform/SettingsDir.h"
#include "support/TestSupport.h"
#include "ui/modMain/DesktopPresence.h"
#include "ui/modMain/frmMain.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>
#include <QThread>

#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <unistd.h>

using namespace ferrox;
using namespace ferrox::test;

namespace {

QString BusAddress() {
    return qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
}

// One fake service: answers every call on its path with what `answer` makes of it, and
// keeps the calls. It lives on a thread of its own, since the inhibitor waits for answers.
class TFakeService : public QDBusVirtualObject {
public:
    using TAnswer = std::function<QVariantList(const QDBusMessage&)>;
    explicit TFakeService(TAnswer answer) : answer_(std::move(answer)) {}
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override {
        QDBusMessage reply = message.createReply(answer_(message));
        {
            std::lock_guard lock(mutex_);
            calls_ << message.member() + " " +
                          QVariant(message.arguments()).toStringList().join(',');
        }
        bus.send(reply);
        return true;
    }
    QStringList Calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    TAnswer answer_;
    mutable std::mutex mutex_;
    QStringList calls_;
};

// A connection of its own that owns a service name and serves one path.
struct TOwnedService {
    TOwnedService(const QString& name, const QString& path, TFakeService::TAnswer answer)
        : connectionName("fake-" + name), service(std::move(answer)) {
        thread.start();
        service.moveToThread(&thread);
        bus = QDBusConnection::connectToBus(BusAddress(), connectionName);
        bus.registerVirtualObject(path, &service);
        registered = bus.registerService(name);
        serviceName = name;
    }
    ~TOwnedService() {
        bus.unregisterService(serviceName);
        QDBusConnection::disconnectFromBus(connectionName);
        thread.quit();
        thread.wait();
    }
    QString connectionName, serviceName;
    QThread thread;
    TFakeService service;
    QDBusConnection bus{QString()};
    bool registered = false;
};

// Receives the task bar's Update signals on a connection of its own.
class TLauncherListener : public QObject {
    Q_OBJECT
public:
    explicit TLauncherListener(const QString& name)
        : bus_(QDBusConnection::connectToBus(BusAddress(), name)) {
        bus_.connect(QString(), QString(), "com.canonical.Unity.LauncherEntry", "Update", this,
                     SLOT(Update(QString, QVariantMap)));
    }
    struct TUpdate {
        QString Uri;
        double Progress;
        bool Visible;
        qint64 AtMs;
    };
    QList<TUpdate> Updates;
    QElapsedTimer Clock;

public slots:
    void Update(const QString& uri, const QVariantMap& properties) {
        Updates.append({uri, properties.value("progress").toDouble(),
                        properties.value("progress-visible").toBool(), Clock.elapsed()});
    }

private:
    QDBusConnection bus_;
};

bool Closed(int fd) {
    pollfd p{fd, POLLIN, 0};
    char c;
    return ::poll(&p, 1, 0) == 1 && ::read(fd, &c, 1) == 0;
}

} // namespace

class TDesktopBusTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        // Fake services of the desktop's own names would meet the real ones on a user's bus.
        if (BusAddress().isEmpty() || !qEnvironmentVariableIsSet("FERROX_TEST_PRIVATE_BUS"))
            QSKIP("no private session bus: ctest runs this under dbus-run-session (./scripts/deps "
                  "installs dbus); by hand: FERROX_TEST_PRIVATE_BUS=1 dbus-run-session -- "
                  "test_desktop");
    }

    // logind first, then the desktop's own inhibitors; each let go of as it wants; with none
    // of them, nothing and no error.
    void SleepIsInhibitedByWhatTheSystemOffers() {
        int pipeFds[2];
        QVERIFY(::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) == 0);
        struct TCase {
            const char* offered;
            const char* heldBy;
            const char* released; // the call that lets go, or "" (logind: the lock closed)
        };
        const TCase cases[] = {{"logind", "logind", ""},
                               {"PowerManagement", "PowerManagement", "UnInhibit 41"},
                               {"GNOME", "GNOME", "Uninhibit 42"},
                               {"", "", ""}};
        for (const TCase& c : cases) {
            std::unique_ptr<TOwnedService> service;
            const QString offered = c.offered;
            if (offered == "logind")
                service = std::make_unique<TOwnedService>(
                    "org.freedesktop.login1", "/org/freedesktop/login1", [&](const QDBusMessage&) {
                        return QVariantList{
                            QVariant::fromValue(QDBusUnixFileDescriptor(pipeFds[1]))};
                    });
            else if (offered == "PowerManagement")
                service = std::make_unique<TOwnedService>(
                    "org.freedesktop.PowerManagement", "/org/freedesktop/PowerManagement/Inhibit",
                    [](const QDBusMessage& m) {
                        return m.member() == "Inhibit" ? QVariantList{uint(41)} : QVariantList{};
                    });
            else if (offered == "GNOME")
                service = std::make_unique<TOwnedService>(
                    "org.gnome.SessionManager", "/org/gnome/SessionManager",
                    [](const QDBusMessage& m) {
                        return m.member() == "Inhibit" ? QVariantList{uint(42)} : QVariantList{};
                    });
            if (service)
                QVERIFY(service->registered);

            const std::string address = BusAddress().toStdString();
            {
                TSleepInhibitor inhibitor(address, address);
                QCOMPARE(inhibitor.Hold(KeepAwakeReason), !offered.isEmpty());
                QCOMPARE(inhibitor.HeldBy(), std::string(c.heldBy));
                if (!service)
                    continue;
                const QStringList calls = service->service.Calls();
                QCOMPARE(calls.size(), 1);
                if (offered == "logind")
                    QCOMPARE(calls[0], QString("Inhibit sleep,Ferrox,Copying files,block"));
                else if (offered == "GNOME")
                    QCOMPARE(calls[0], QString("Inhibit org.ferrox.Ferrox,0,Copying files,4"));
                else
                    QCOMPARE(calls[0], QString("Inhibit Ferrox,Copying files"));
                // A second Hold while held asks nobody again.
                QVERIFY(inhibitor.Hold(KeepAwakeReason));
                QCOMPARE(service->service.Calls().size(), 1);
                if (offered == "logind") {
                    ::close(pipeFds[1]); // only the inhibitor's copy keeps it open now
                    QVERIFY(!Closed(pipeFds[0]));
                }
                inhibitor.Release();
                QCOMPARE(inhibitor.HeldBy(), std::string());
            }
            if (offered == "logind")
                QTRY_VERIFY(Closed(pipeFds[0]));
            else
                QTRY_COMPARE(service->service.Calls().value(1), QString(c.released));
        }
        ::close(pipeFds[0]);
    }

    // A burst of shares reaches the task bar as a few signals a second, the last share
    // among them; the end hides the bar at once.
    void TaskBarProgressIsThrottledAndHiddenAtTheEnd() {
        TLauncherListener listener("launcher-listener");
        listener.Clock.start();
        TLauncherEntry entry(QDBusConnection::connectToBus(BusAddress(), "launcher"),
                             TDesktopPresence::DesktopId);
        QElapsedTimer burst;
        burst.start();
        for (int i = 0; i <= 100; ++i) {
            entry.Show(i / 100.0);
            QTest::qWait(10);
        }
        const qint64 burstMs = burst.elapsed();
        QTRY_VERIFY(!listener.Updates.isEmpty() && listener.Updates.back().Progress == 1.0);
        QVERIFY2(listener.Updates.size() <= 2 + burstMs * TLauncherEntry::MaxPerSecond / 1000,
                 qPrintable(QString::number(listener.Updates.size())));
        for (const auto& u : listener.Updates) {
            QCOMPARE(u.Uri, QString("application://org.ferrox.Ferrox.desktop"));
            QVERIFY(u.Visible);
        }
        entry.Show(0.5);
        entry.Hide();
        QTRY_VERIFY(!listener.Updates.back().Visible);
        const int count = listener.Updates.size();
        QTest::qWait(400); // a share Hide dropped must not come after it
        QCOMPARE(listener.Updates.size(), count);
        QDBusConnection::disconnectFromBus("launcher");
        QDBusConnection::disconnectFromBus("launcher-listener");
    }

    // A long run that ends in the background is told in the status line's words, and a
    // click raises the window; a short one, or one the user watched, is not.
    void LongRunEndingInTheBackgroundNotifies() {
        TOwnedService server("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                             [](const QDBusMessage& m) {
                                 return m.member() == "Notify" ? QVariantList{uint(7)}
                                                               : QVariantList{};
                             });
        QVERIFY(server.registered);
        auto clock = std::chrono::steady_clock::now();
        bool active = false;
        int raised = 0;
        TDesktopPresence::TWindow window;
        window.Active = [&] { return active; };
        window.Raise = [&] { ++raised; };
        window.Now = [&] { return clock; };
        TDesktopPresence presence(window, QDBusConnection::connectToBus(BusAddress(), "presence"),
                                  std::make_unique<TSleepInhibitor>("", ""));
        auto run = [&](std::chrono::seconds lasting, const std::string& end) {
            TRunEvent phase(TRunEvent::PhaseChanged);
            phase.Phase.Phase = TRunPhase::Running;
            presence.RunEvent(phase, {});
            clock += lasting;
            presence.RunEvent(TRunEvent(TRunEvent::RunEnded), {{}, end});
            phase.Phase.Phase = TRunPhase::Idle;
            presence.RunEvent(phase, {});
            QTest::qWait(3 * ShowIntervalMs);
        };
        run(std::chrono::seconds(11), "All File Copies Completed \u2014 3 failed");
        QTRY_COMPARE(server.service.Calls().size(), 1);
        const QString notify = server.service.Calls()[0];
        QVERIFY2(notify.startsWith("Notify Ferrox,0,org.ferrox.Ferrox,All File Copies Completed "
                                   "\u2014 3 failed,"),
                 qPrintable(notify));

        run(std::chrono::seconds(9), "All File Copies Completed");
        active = true;
        run(std::chrono::seconds(60), "All File Copies Completed");
        QCOMPARE(server.service.Calls().size(), 1);

        // The server tells of a click on another program's notification, then on ours.
        for (uint id : {3u, 7u}) {
            QDBusMessage clicked = QDBusMessage::createSignal(
                "/org/freedesktop/Notifications", "org.freedesktop.Notifications", "ActionInvoked");
            clicked << id << QString("default");
            server.bus.send(clicked);
        }
        QTRY_COMPARE(raised, 1);
        QDBusConnection::disconnectFromBus("presence");
    }

    // The window itself: while its run copies, the system is kept awake and the task bar
    // shows the run's share; at the end both are let go.
    void WindowRunHoldsTheSystemAwakeAndShowsItsShare() {
        // The window's inhibitor asks "the system bus" first: here, the private bus.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", BusAddress().toUtf8());
        int pipeFds[2];
        QVERIFY(::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) == 0);
        auto logind = std::make_unique<TOwnedService>(
            "org.freedesktop.login1", "/org/freedesktop/login1", [&](const QDBusMessage&) {
                return QVariantList{QVariant::fromValue(QDBusUnixFileDescriptor(pipeFds[1]))};
            });
        QVERIFY(logind->registered);
        TLauncherListener listener("window-listener");

        TTempDir dir;
        TWorkingDirectory cwd(dir.Path());
        MakeDir(dir / "prog");
        MakeDir(dir / "out");
        WriteFile(dir / "held", std::string(1 << 20, 'x'));
        WriteFile(dir / "prog/QUEUE.INI", "[Queue]\r\nFROM-1=F:" + (dir / "held") + "\r\nTO-1=" +
                                              (dir / "out") + "\r\nDONE-1=0\r\nMOVE-1=0\r\n");
        SetSettingsDirForTesting(dir / "prog");
        TEvent held, release;
        {
            TfrmMain w;
            w.Core().PartsForTesting().Run.Seams.OnRunPoint = [&](TRunPoint point,
                                                                  const std::string&) {
                if (point == TRunPoint::LineTaken) {
                    held.Set();
                    release.Wait();
                }
            };
            struct TRelease {
                TEvent& e;
                ~TRelease() { e.Set(); }
            } releaseAtEnd{release};
            QTRY_COMPARE(w.Core().SourceList().RootNodeCount(), 1u);
            w.findChild<QPushButton*>("btnCopyNow")->click();
            QVERIFY(held.WaitFor(std::chrono::seconds(30)));
            QTRY_COMPARE(logind->service.Calls().size(), 1);
            QCOMPARE(logind->service.Calls()[0],
                     QString("Inhibit sleep,Ferrox,Copying files,block"));
            ::close(pipeFds[1]);
            QTRY_VERIFY(!listener.Updates.isEmpty());
            QVERIFY(listener.Updates.back().Visible);
            QCOMPARE(listener.Updates.back().Uri,
                     QString("application://org.ferrox.Ferrox.desktop"));
            QVERIFY(!Closed(pipeFds[0]));

            release.Set();
            QTRY_COMPARE(w.Core().Phase().Phase, TRunPhase::Idle);
            QTRY_VERIFY(!listener.Updates.back().Visible);
            QTRY_VERIFY(Closed(pipeFds[0]));
            w.Core().PartsForTesting().Run.Seams.OnRunPoint = nullptr;
        }
        ::close(pipeFds[0]);
        logind.reset();
        QDBusConnection::disconnectFromBus("window-listener");
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
};

QTEST_MAIN(TDesktopBusTest)
#include "DesktopBusTest.moc"
