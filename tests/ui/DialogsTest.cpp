#include "core/FerroxCore.h"
#include "platform/Event.h"
#include "platform/SafeFile.h"
#include "platform/SettingsDir.h"
#include "support/ListHelpers.h"
#include "support/StatusRecorder.h"
#include "support/TestSupport.h"
#include "ui/common/FileDialogs.h"
#include "ui/modAbout/frmAbout.h"
#include "ui/modPleaseWait/frmPleaseWait.h"
#include "ui/modQueue/frmQueue.h"
#include "ui/resources/AppIcon.h"

#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace ferrox;
using namespace ferrox::test;

namespace {

// Takes the URLs the about box hands to the desktop, so no browser or mail program starts.
class TUrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> Urls;
public slots:
    void Open(const QUrl& url) { Urls.push_back(url); }
};

QString Q(const std::string& path) {
    return QString::fromStdString(path);
}

// Sinks whose queue file work reports through this test's event loop, as the window's do.
TCoreSinks FaceThreadSinks() {
    TCoreSinks sinks;
    sinks.RunOnFaceThread = [](std::function<void()> task) {
        QMetaObject::invokeMethod(qApp, std::move(task), Qt::QueuedConnection);
    };
    return sinks;
}

// What holds a save before it names its file (the hook is a plain function).
TEvent& SaveHeld() {
    static TEvent held;
    return held;
}
TEvent& SaveRelease() {
    static TEvent release;
    return release;
}

void Click(QWidget& window, const char* button) {
    auto* b = window.findChild<QPushButton*>(button);
    QVERIFY(b);
    QTest::mouseClick(b, Qt::LeftButton);
}

} // namespace

class TDialogsTest : public QObject {
    Q_OBJECT
    std::unique_ptr<TTempDir> exeDir_;

private slots:
    void initTestCase() {
        exeDir_ = std::make_unique<TTempDir>();
        SetSettingsDirForTesting(exeDir_->Path());
    }

    // Save writes the chosen file, which then takes the following autosaves; Load reads
    // a file into the lists. Both close the window and propose QUEUE.INI every time.
    void QueueWindowSavesAndLoadsThroughTheDialogs() {
        TTempDir dir;
        TWorkingDirectory cwd(dir.Path()); // the backups land here
        TFerroxCore core;
        core.Attach(FaceThreadSinks());
        TCopyQueue& queue = core.PartsForTesting().Queue;
        TStatusRecorder status{queue.StatusLine};
        queue.AddItem(queue.lstCopyFrom, "/src/a.txt", true, lsFileWaiting);
        queue.AddItem(queue.lstCopyTo, "/dst/", false, lsDirWaiting);
        queue.AddItem(queue.lstCopyFrom, "/src/b", false, lsDirDone);
        queue.AddItem(queue.lstCopyTo, "/dst2/", false, lsDirDone);

        const std::string other = dir / "other.ini";
        {
            TfrmQueue frmQueue(core);
            frmQueue.show();
            FileDialogs::SetNextSaveFileName(Q(other));
            Click(frmQueue, "btnSave");
            QTRY_VERIFY(!frmQueue.isVisible());
            QCOMPARE(frmQueue.result(), int(QDialog::Accepted));
            QVERIFY(frmQueue.findChild<QPushButton*>("btnLoad")->isEnabled());
        }
        QCOMPARE(FileDialogs::LastProposed(), Q(exeDir_->Path() + "/QUEUE.INI"));
        QCOMPARE(status.Last(), std::string("Queue Saved [2 records]"));
        const std::string saved = ReadFile(other);
        QVERIFY(saved.find("FROM-1=F:/src/a.txt") != std::string::npos);
        QVERIFY(saved.find("MOVE-1=1") != std::string::npos);
        QVERIFY(saved.find("FROM-2=D:/src/b") != std::string::npos);
        QVERIFY(saved.find("DONE-2=1") != std::string::npos);

        // The next autosave goes to the chosen file, not to QUEUE.INI.
        queue.AddItem(queue.lstCopyFrom, "/src/c", false, lsFileWaiting);
        queue.Autosave();
        QVERIFY(ReadFile(other).find("FROM-3=F:/src/c") != std::string::npos);
        QVERIFY(!Exists(exeDir_->Path() + "/QUEUE.INI"));

        const std::string third = dir / "third.ini";
        WriteFile(third, "[Queue]\nFROM-1=F:/x/one\nTO-1=/y/\nDONE-1=0\nMOVE-1=1\n");
        {
            TfrmQueue frmQueue(core);
            frmQueue.show();
            FileDialogs::SetNextOpenFileNames({Q(third)});
            Click(frmQueue, "btnLoad");
            QTRY_VERIFY(!frmQueue.isVisible());
        }
        QCOMPARE(FileDialogs::LastProposed(), Q(exeDir_->Path() + "/QUEUE.INI"));
        QCOMPARE(Paths(queue.lstCopyFrom), std::vector<std::string>{"/x/one"});
        QCOMPARE(Paths(queue.lstCopyTo), std::vector<std::string>{"/y/"});
        QVERIFY(TCopyQueue::IsMove(queue.lstCopyFrom.FirstNode()));
        QCOMPARE(core.QueueFileName(), third);

        // A name that does not exist is taken; the load reports it and keeps the lines.
        {
            TfrmQueue frmQueue(core);
            frmQueue.show();
            FileDialogs::SetNextOpenFileNames({Q(dir / "missing.ini")});
            Click(frmQueue, "btnLoad");
            QTRY_VERIFY(!frmQueue.isVisible());
        }
        QCOMPARE(status.Last(), std::string(MsgLoadFileMissing));
        QCOMPARE(Paths(queue.lstCopyFrom), std::vector<std::string>{"/x/one"});
    }

    // A cancelled dialog and Escape leave the window open with nothing changed; only its
    // buttons close it, and Close clears the status line.
    void QueueWindowStaysOpenUntilAButtonClosesIt() {
        TTempDir dir;
        TFerroxCore core;
        TCopyQueue& queue = core.PartsForTesting().Queue;
        TStatusRecorder status{queue.StatusLine};
        queue.AddItem(queue.lstCopyFrom, "/src/a", false, lsFileWaiting);
        const std::string before = core.QueueFileName();

        TfrmQueue frmQueue(core);
        QCOMPARE(frmQueue.windowTitle(), QString("Queue Maintenance"));
        QVERIFY(!(frmQueue.windowFlags() & Qt::WindowCloseButtonHint));
        QVERIFY(!(frmQueue.windowFlags() & Qt::WindowSystemMenuHint));
        frmQueue.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frmQueue));

        FileDialogs::SetNextSaveFileName("");
        Click(frmQueue, "btnSave");
        FileDialogs::SetNextOpenFileNames({});
        Click(frmQueue, "btnLoad");
        QTest::keyClick(&frmQueue, Qt::Key_Escape);
        frmQueue.close();
        QVERIFY(frmQueue.isVisible());
        QCOMPARE(core.QueueFileName(), before);
        QCOMPARE(Paths(queue.lstCopyFrom), std::vector<std::string>{"/src/a"});
        QVERIFY(!Exists(exeDir_->Path() + "/QUEUE.INI"));
        QVERIFY(status.Texts().empty());

        queue.StatusLine.Show("something");
        Click(frmQueue, "btnClose");
        QVERIFY(!frmQueue.isVisible());
        QCOMPARE(status.Last(), std::string());
    }

    // A long save shows the box centred on its owner while the file is written, the
    // owner's events handled meanwhile, and hides it afterwards.
    void PleaseWaitShowsCentredDuringALongSave() {
        TTempDir dir;
        TWorkingDirectory cwd(dir.Path());
        QWidget owner;
        owner.setGeometry(200, 150, 594, 562);
        owner.show();
        TfrmPleaseWait frmPleaseWait(&owner);
        QVERIFY(!frmPleaseWait.isVisible());
        QCOMPARE(frmPleaseWait.findChild<QLabel*>("lblPleaseWait")->text(),
                 QString("Please wait..."));

        TFerroxCore core;
        TCopyQueue& queue = core.PartsForTesting().Queue;
        TCoreSinks sinks = FaceThreadSinks();
        sinks.PleaseWait = &frmPleaseWait;
        core.Attach(sinks);
        for (int i = 0; i < 600; ++i)
            queue.AddItem(queue.lstCopyFrom, "/src/f" + std::to_string(i), false, lsFileWaiting);
        // Held just before the new file takes its name.
        SetBeforeNamingHookForTesting([] {
            SaveHeld().Set();
            SaveRelease().Wait();
        });
        bool saved = false;
        core.SaveQueueAs(dir / "big.ini", [&](TSaveResult) { saved = true; });
        QVERIFY(SaveHeld().WaitFor(std::chrono::seconds(30)));
        QTRY_VERIFY(frmPleaseWait.isVisible());
        QCOMPARE(frmPleaseWait.geometry().center(), owner.geometry().center());
        bool timerFired = false;
        QTimer::singleShot(0, &owner, [&] { timerFired = true; });
        QTRY_VERIFY(timerFired);
        QVERIFY(frmPleaseWait.isVisible() && !saved);
        SaveRelease().Set();
        QTRY_VERIFY(saved);
        SetBeforeNamingHookForTesting(nullptr);
        QVERIFY(!frmPleaseWait.isVisible());
        QVERIFY(ReadFile(dir / "big.ini").find("FROM-600=F:/src/f599") != std::string::npos);
    }

    // Version, licence and system, no made-up address; Enter closes the box.
    void AboutBoxShowsItsTextsAndEnterClosesIt() {
        QCOMPARE(OsDescription("Linux", "6.1.0-13-amd64"), QString("Linux (6.1.0)"));
        QCOMPARE(OsDescription("Linux", "5.15.0+"), QString("Linux (5.15.0)"));
        QCOMPARE(OsDescription("Linux", "6.7"), QString("Linux (6.7)"));
        QCOMPARE(OsDescription("Linux", "rc"), QString("Linux (0.0.0)"));
        QCOMPARE(OsDescription("", ""), QString("Unknown Operating System"));

        TUrlRecorder urls;
        QDesktopServices::setUrlHandler("mailto", &urls, "Open");
        QDesktopServices::setUrlHandler("https", &urls, "Open");
        TfrmAbout frmAbout;
        QCOMPARE(frmAbout.windowTitle(), QString("About Ferrox"));
        QCOMPARE(frmAbout.findChild<QLabel*>("lblVersion")->text(), QString("1.0.1.40"));
        const QString os = frmAbout.findChild<QLabel*>("lblWinVersion")->text();
        QVERIFY2(os.startsWith("Linux ("), qPrintable(os));
        QCOMPARE(os, CurrentOsDescription());
        // The desktop's font may be wider than the design's: no text is cut.
        for (QLabel* label : frmAbout.findChildren<QLabel*>()) {
            QVERIFY2(label->width() >= label->sizeHint().width(), qPrintable(label->objectName()));
            QVERIFY(frmAbout.rect().contains(label->geometry()));
        }
        frmAbout.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frmAbout));

        QCOMPARE(frmAbout.findChild<QLabel*>("lblLicense")->text(),
                 QString("Licence: GNU GPL version 3 or later"));
        // Ferrox has no address yet: the rows are left out rather than pointing nowhere.
        for (const char* name : {"lblEmail", "lblGoEmail", "lblWeb", "lblGoHttp"})
            QVERIFY2(!frmAbout.findChild<QLabel*>(name)->isVisible(), name);
        for (QLabel* label : frmAbout.findChildren<QLabel*>())
            QVERIFY2(!label->text().contains(".example") && !label->text().contains(".invalid"),
                     qPrintable(label->text()));
        frmAbout.lblGoEmailClick();
        frmAbout.lblGoHttpClick();
        QVERIFY(urls.Urls.isEmpty());
        QVERIFY(frmAbout.isVisible());

        QTest::keyClick(&frmAbout, Qt::Key_Return);
        QVERIFY(!frmAbout.isVisible());
        QCOMPARE(frmAbout.result(), int(QDialog::Accepted));
        QDesktopServices::unsetUrlHandler("mailto");
        QDesktopServices::unsetUrlHandler("https");
    }

    // The icon's resources are linked in from the static library and render.
    void ProgramIconRenders() {
        const QImage image = FerroxIcon().pixmap(32, 32).toImage();
        QCOMPARE(image.size(), QSize(32, 32));
        QVERIFY(image.pixelColor(16, 2).alpha() > 0);
    }
};

QTEST_MAIN(TDialogsTest)
#include "DialogsTest.moc"
