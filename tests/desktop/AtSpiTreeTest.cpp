// The window as a screen reader sees it: a real ferrox process on an X display with Qt's
// AT-SPI bridge on, its accessible tree read over the accessibility bus as Orca reads it.
// ctest runs it under xvfb-run and dbus-run-session; without a display, a session bus or
// the accessibility bus (at-spi2-core), it is skipped with the reason.
#include "support/TestSupport.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QProcess>
#include <QTest>

#include <filesystem>

using namespace ferrox::test;

namespace {

// An accessible object: the bus name of its application and its path.
struct TRef {
    QString Service;
    QDBusObjectPath Path;
};

} // namespace

Q_DECLARE_METATYPE(TRef)

namespace {
QDBusArgument& operator<<(QDBusArgument& argument, const TRef& ref) {
    argument.beginStructure();
    argument << ref.Service << ref.Path;
    argument.endStructure();
    return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, TRef& ref) {
    argument.beginStructure();
    argument >> ref.Service >> ref.Path;
    argument.endStructure();
    return argument;
}

constexpr const char* AccessibleInterface = "org.a11y.atspi.Accessible";

struct TNode {
    QString Role, Name;
    double Value = -1; // a progress bar's
    QList<TNode> Children;
};

class TTreeReader {
public:
    explicit TTreeReader(QDBusConnection bus) : bus_(std::move(bus)) {}

    QVariant Property(const TRef& ref, const char* interface, const char* name) {
        QDBusMessage get = QDBusMessage::createMethodCall(ref.Service, ref.Path.path(),
                                                          "org.freedesktop.DBus.Properties", "Get");
        get << QString(interface) << QString(name);
        const QDBusMessage reply = bus_.call(get, QDBus::Block, 5000);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return {};
        return qvariant_cast<QDBusVariant>(reply.arguments().at(0)).variant();
    }
    QDBusMessage Call(const TRef& ref, const char* method) {
        return bus_.call(QDBusMessage::createMethodCall(ref.Service, ref.Path.path(),
                                                        AccessibleInterface, method),
                         QDBus::Block, 5000);
    }
    QList<TRef> Children(const TRef& ref) {
        const QDBusMessage reply = Call(ref, "GetChildren");
        QList<TRef> children;
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
            qvariant_cast<QDBusArgument>(reply.arguments().at(0)) >> children;
        return children;
    }
    TNode Read(const TRef& ref, int depth) {
        TNode node;
        const QDBusMessage role = Call(ref, "GetRoleName");
        if (role.type() == QDBusMessage::ReplyMessage && !role.arguments().isEmpty())
            node.Role = role.arguments().at(0).toString();
        node.Name = Property(ref, AccessibleInterface, "Name").toString();
        if (node.Role == "progress bar")
            node.Value = Property(ref, "org.a11y.atspi.Value", "CurrentValue").toDouble();
        if (depth < 12)
            for (const TRef& child : Children(ref))
                node.Children << Read(child, depth + 1);
        return node;
    }

private:
    QDBusConnection bus_;
};

const TNode* FindNode(const TNode& node, const std::function<bool(const TNode&)>& wanted) {
    if (wanted(node))
        return &node;
    for (const TNode& child : node.Children)
        if (const TNode* found = FindNode(child, wanted))
            return found;
    return nullptr;
}

} // namespace

class TAtSpiTreeTest : public QObject {
    Q_OBJECT
private slots:
    void TheWindowsTreeNamesTheListsTheirLinesAndTheGauge() {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("no X display: run under xvfb-run (./scripts/deps installs xvfb)");
        if (!QDBusConnection::sessionBus().isConnected())
            QSKIP("no session bus: run under dbus-run-session (./scripts/deps installs dbus)");
        const QDBusMessage address = QDBusConnection::sessionBus().call(
            QDBusMessage::createMethodCall("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                                           "GetAddress"),
            QDBus::Block, 10000);
        if (address.type() != QDBusMessage::ReplyMessage)
            QSKIP("no accessibility bus (./scripts/deps installs at-spi2-core)");
        qDBusRegisterMetaType<TRef>();
        qDBusRegisterMetaType<QList<TRef>>();
        QDBusConnection a11y =
            QDBusConnection::connectToBus(address.arguments().at(0).toString(), "a11y");
        QVERIFY(a11y.isConnected());

        TTempDir dir;
        MakeDir(dir / "prog");
        MakeDir(dir / "out");
        WriteFile(dir / "a.txt", "a");
        std::filesystem::copy_file(FERROX_PATH, dir / "prog/ferrox");
        WriteFile(dir / "prog/QUEUE.INI", "[Queue]\r\nFROM-1=F:" + (dir / "a.txt") + "\r\nTO-1=" +
                                              (dir / "out") + "\r\nDONE-1=0\r\nMOVE-1=0\r\n");
        // The registry must be up before the window starts: a window that finds none
        // registers nowhere, and a screen reader started later would not see it either.
        TTreeReader reader(a11y);
        const TRef root{"org.a11y.atspi.Registry",
                        QDBusObjectPath("/org/a11y/atspi/accessible/root")};
        // The registry is started on demand by the accessibility bus and opens the display
        // itself; on a loaded machine its first answers can be errors.
        QDBusMessage children = reader.Call(root, "GetChildren");
        for (int attempt = 0; attempt < 50 && children.type() != QDBusMessage::ReplyMessage;
             ++attempt) {
            QTest::qWait(200);
            children = reader.Call(root, "GetChildren");
        }
        if (children.type() != QDBusMessage::ReplyMessage)
            QSKIP(qPrintable("the accessibility registry does not answer: " +
                             children.errorMessage()));

        QProcess ferrox;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.Path()));
        ferrox.setProcessEnvironment(env);
        ferrox.setWorkingDirectory(QString::fromStdString(dir.Path()));
        ferrox.start(QString::fromStdString(dir / "prog/ferrox"), {});
        QVERIFY(ferrox.waitForStarted());

        const std::string line = (dir / "a.txt") + ", file, waiting";
        TNode app;
        auto lineShown = [&](const TNode& n) { return n.Name.toStdString() == line; };
        // The window registers with the bus once it is up, and its lists fill after.
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const TRef& candidate : reader.Children(root)) {
                    TNode read = reader.Read(candidate, 0);
                    if (FindNode(read, lineShown)) {
                        app = read;
                        return true;
                    }
                }
                return false;
            }(),
            20000);
        ferrox.kill();
        ferrox.waitForFinished();
        QDBusConnection::disconnectFromBus("a11y");

        const TNode* from = FindNode(app, [](const TNode& n) { return n.Name == "Copy From"; });
        QVERIFY(from);
        QVERIFY(FindNode(*from, lineShown));
        QVERIFY(FindNode(app, [](const TNode& n) { return n.Name == "Copy To"; }));
        const TNode* gauge = FindNode(app, [](const TNode& n) { return n.Role == "progress bar"; });
        QVERIFY(gauge);
        QCOMPARE(gauge->Name, QString("File copy progress"));
        QCOMPARE(gauge->Value, 0.0);
        for (const char* button : {"Select Files", "Copy NOW"})
            QVERIFY2(FindNode(app, [&](const TNode& n) { return n.Name == button; }), button);
    }
};

QTEST_GUILESS_MAIN(TAtSpiTreeTest)
#include "AtSpiTreeTest.moc"
