#include "ui/modMain/frmMain.h"
#include "WindowHelpers.h"
#include "diag/ErrorLog.h"
#include "diag/Trace.h"
#include "platform/SettingsDir.h"
#include "support/TestSupport.h"
#include "ui/common/FerroxApplication.h"
#include "ui/modMain/WindowBridges.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QSplitter>
#include <QThread>
#include <QTreeView>
#include <QtTest>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ferrox;
using namespace ferrox::test;

namespace {

std::string QueueText(const std::vector<std::string>& sources,
                      const std::vector<std::string>& dests) {
    std::string text = "[Queue]\r\n";
    for (size_t i = 0; i < sources.size(); ++i) {
        std::string n = std::to_string(i + 1);
        text += "FROM-" + n + "=F:" + sources[i] + "\r\nTO-" + n + "=" + dests[i] + "\r\nDONE-" +
                n + "=0\r\nMOVE-" + n + "=0\r\n";
    }
    return text;
}

// Non-repeating bytes, so no file system can make the copy cheap.
void WriteBigFile(const std::string& path, int mib) {
    std::vector<uint64_t> block(1 << 17);
    std::mt19937_64 rng(7);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    QVERIFY(fd >= 0);
    for (int i = 0; i < mib; ++i) {
        for (auto& v : block)
            v = rng();
        QCOMPARE(::write(fd, block.data(), 1 << 20), ssize_t(1 << 20));
    }
    ::close(fd);
}

int32_t StatusOfLine(TFerroxCore& core, int n) {
    PVirtualNode node = core.PartsForTesting().Queue.lstCopyFrom.NodeAt(n);
    return node ? node->Data.Status.load() : -1;
}

// Spins (without handling events: the run never needs the window) until line n has the
// status, so that a click lands while that line's file is still being copied.
bool SpinUntilStatus(TFerroxCore& core, int n, int32_t status) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (StatusOfLine(core, n) != status)
        if (std::chrono::steady_clock::now() > deadline)
            return false;
    return true;
}

std::vector<std::string> LogLines(const std::string& file) {
    std::vector<std::string> lines;
    std::string text = Exists(file) ? ReadFile(file) : std::string();
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

class TWaitRecorder : public IPleaseWait {
public:
    std::function<void()> OnShow;
    int Shown = 0;
    void ShowPleaseWait() override {
        ++Shown;
        if (OnShow)
            OnShow();
    }
    void HidePleaseWait() override {}
};

// Stands for the gauge widget: records what reaches it and on which thread.
struct TGaugeRecorder {
    int32_t Max = 0, Progress = 0, Applies = 0;
    bool OffThread = false;
    QString Text;
    int32_t MinValue() const { return 0; }
    void Note() {
        ++Applies;
        OffThread = OffThread || QThread::currentThread() != qApp->thread();
    }
    void SetMaxValue(int32_t v) {
        Note();
        Max = v;
    }
    void SetProgress(int32_t v) { Progress = v; }
    void SetText(const QString& t) { Text = t; }
};

} // namespace

class TFrmMainTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TTempDir> dir_;
    std::unique_ptr<TWorkingDirectory> cwd_;
    std::string bigFile_;

    std::string P(const std::string& name) const { return *dir_ / name; }
    std::string ProgramDir() const { return P("prog"); }
    std::string QueueFile() const { return P("prog/QUEUE.INI"); }
    static int Rows(TfrmMain& w, const char* list) {
        return Find<QTreeView>(w, list)->model()->rowCount();
    }

private slots:
    void initTestCase() {
        dir_ = std::make_unique<TTempDir>();
        // Error logs and queue backups land in the working directory.
        cwd_ = std::make_unique<TWorkingDirectory>(dir_->Path());
        bigFile_ = P("big.bin");
        WriteBigFile(bigFile_, 256);
    }
    void cleanupTestCase() {
        cwd_.reset();
        dir_.reset();
    }
    void init() {
        RemoveTree(ProgramDir());
        RemoveTree(P("out"));
        RemoveTree(P("out2"));
        MakeDir(ProgramDir());
        MakeDir(P("out"));
        MakeDir(P("out2"));
        ::unlink(LogFileName().c_str());
        // No monitor or worker of an earlier window is left, so nothing reads it now.
        SetSettingsDirForTesting(ProgramDir());
    }

    void StartsEmptyWithoutQueueFileAndIdle() {
        TfrmMain w;
        QCOMPARE(w.windowTitle(), QString("Ferrox"));
        QCOMPARE(Rows(w, "lstCopyFrom"), 0);
        QCOMPARE(Rows(w, "lstCopyTo"), 0);
        QVERIFY(!w.StatusText().startsWith("Queue Loaded"));
        QCOMPARE(Find<QPushButton>(w, "btnCopyNow")->text(), QString("Copy NOW"));
        QCOMPARE(Find<QPushButton>(w, "btnCopyNow")->toolTip(), QString("Start the Copy Process"));
        QCOMPARE(Find<QPushButton>(w, "btnClose")->text(), QString("&Close"));
        QVERIFY(Find<QPushButton>(w, "btnClose")->toolTip().isEmpty());
        // Start-up, the monitor's included, leaves nothing on the trace.
        QVERIFY2(TraceEntries().empty(), TraceText().c_str());
        QVERIFY(!Exists(QueueFile()));
    }

    void StartsWithTheSavedQueue() {
        WriteFile(QueueFile(), QueueText({P("a"), P("b"), P("c")}, {P("out"), P("out"), P("out")}));
        TfrmMain w;
        // Told from the queue file's thread: on the status line at the window's next turn.
        QTRY_COMPARE(w.StatusText(), QString("Queue Loaded [3 records]"));
        QTRY_COMPARE(Rows(w, "lstCopyFrom"), 3);
        QTRY_COMPARE(Rows(w, "lstCopyTo"), 3);
        QCOMPARE(w.Core().QueueFileName(), QueueFile());
    }

    // Every control is where a user looks for it: captions whole with the desktop font,
    // no button over the next, the tab order of the design.
    void LayoutKeepsCaptionsWholeAndTheDesignOrder() {
        TfrmMain w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const char* row[] = {"btnAbout",   "btnQueueMaint", "btnSelFiles", "btnSelDir1",
                             "btnSelDir2", "btnCopyNow",    "btnClose"};
        int right = -1;
        for (const char* name : row) {
            auto* b = Find<QPushButton>(w, name);
            QString caption = b->text().remove('&');
            QVERIFY2(b->width() >= b->fontMetrics().horizontalAdvance(caption), name);
            // The two small buttons overlap by one pixel by design.
            QVERIFY2(b->x() >= right - 1, name);
            right = b->geometry().right() + 1;
            QVERIFY2(b->geometry().bottom() < Find<QWidget>(w, "pnlTop")->height(), name);
        }
        QCOMPARE(Find<QWidget>(w, "pnlTop")->height(), 65);
        // The bar is 20 pixels high inside its one-pixel sunken frame.
        QCOMPARE(Find<QWidget>(w, "gaugeFileCopy")->height(), 22);
        QVERIFY(Find<QLabel>(w, "Label2")->x() > Find<QLabel>(w, "Label1")->geometry().right());

        const char* tabs[] = {"btnSelFiles",   "btnSelDir1",  "btnSelDir2",
                              "btnCopyNow",    "btnClose",    "btnAbout",
                              "btnQueueMaint", "lstCopyFrom", "lstCopyTo"};
        for (size_t i = 0; i + 1 < std::size(tabs); ++i) {
            QWidget* next = Find<QWidget>(w, tabs[i])->nextInFocusChain();
            while (next && next->focusPolicy() == Qt::NoFocus)
                next = next->nextInFocusChain();
            QVERIFY2(next && next->objectName() == tabs[i + 1], tabs[i]);
        }
    }

    // The status panel's rule at every width, and only the source list takes a new width.
    void ResizeKeepsTheRatePanelAndTheDestinationWidth() {
        TfrmMain w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto* status = Find<TStatusPanels>(w, "Status");
        auto* to = Find<QWidget>(w, "lstCopyTo");
        QTRY_COMPARE(status->Panel0Width(), status->width() - 200);
        const int toWidth = to->width();
        w.resize(800, w.height());
        QTRY_COMPARE(status->width(), w.width());
        QCOMPARE(status->Panel0Width(), 600);
        QCOMPARE(to->width(), toWidth);
        QCOMPARE(status->Panel1->geometry().right(), status->width() - 1);
        // The window stops at its button row's width: the rule for a narrower bar, on the
        // bar alone.
        status->resize(150, status->height());
        QCOMPARE(status->Panel0Width(), 150);
        QVERIFY(TraceEntries().empty());
    }

    // At its smallest the window still shows every button whole and both lists with room
    // for lines, however far the splitter goes, with the desktop's font and a larger one.
    void SmallestWindowKeepsEveryButtonAndBothLists() {
        WriteFile(QueueFile(), QueueText({P("a")}, {P("out")}));
        const QFont font = QApplication::font();
        auto restore = qScopeGuard([&] { QApplication::setFont(font); });
        for (double scale : {1.0, 1.6}) {
            QFont larger = font;
            larger.setPointSizeF(font.pointSizeF() * scale);
            QApplication::setFont(larger);
            TfrmMain w;
            w.show();
            QVERIFY(QTest::qWaitForWindowExposed(&w));
            w.resize(1, 1);
            QTRY_COMPARE(w.size(), w.minimumSize());
            int right = 0;
            for (QPushButton* b : Find<QWidget>(w, "pnlTop")->findChildren<QPushButton*>()) {
                const QRect at(b->mapTo(&w, QPoint(0, 0)), b->size());
                QVERIFY2(w.rect().contains(at), qPrintable(b->objectName()));
                right = std::max(right, at.right());
            }
            QVERIFY2(w.width() < right + 20, "no wider than its button row needs");
            auto* splitter = Find<QSplitter>(w, "Splitter");
            for (QList<int> sizes : {QList<int>{0, 9999}, QList<int>{9999, 0}}) {
                splitter->setSizes(sizes);
                for (const char* name : {"lstCopyFrom", "lstCopyTo"}) {
                    auto* list = Find<QTreeView>(w, name);
                    QTRY_COMPARE(list->model()->rowCount(), 1);
                    const QRect line = list->visualRect(list->model()->index(0, 0));
                    QVERIFY2(list->viewport()->height() >= 3 * line.height(), name);
                    // A line's box and image and the first ten characters of its path.
                    QVERIFY2(list->viewport()->width() >=
                                 50 + list->fontMetrics().horizontalAdvance("/abcdefghi"),
                             name);
                }
            }
        }
    }

    // Texts and gauge values sent from other threads reach the window's thread, the
    // latest winning, in a few coalesced applications rather than one per call.
    void WorkerTextsAndGaugeValuesArriveCoalescedOnTheWindowThread() {
        QLabel panel;
        TStatusBridge status(panel);
        TGaugeRecorder gauge;
        std::atomic<bool> bar{true};
        TGaugeBridge<TGaugeRecorder> bridge(gauge, [&] { return bar.load(); });
        const auto start = std::chrono::steady_clock::now();
        std::thread worker([&] {
            for (int i = 1; i <= 20000; ++i) {
                status.SetStatusText("text " + std::to_string(i), TStatusKind::Info);
                bridge.ShowFile({20000, i, false});
            }
        });
        worker.join();
        QTRY_COMPARE(panel.text(), QString("text 20000"));
        QTRY_COMPARE(gauge.Progress, 20000);
        QCOMPARE(gauge.Max, 20000);
        QVERIFY(!gauge.OffThread);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        QVERIFY2(gauge.Applies <= ms / 50 + 2, qPrintable(QString::number(gauge.Applies)));

        // A file of 2 GiB and more still moves the gauge: its values are scaled to the
        // widget's 32 bits. A file's start puts the gauge back at its beginning.
        const int64_t size = 6LL << 30;
        bridge.ShowFile({size, size / 2, false});
        QTRY_COMPARE(gauge.Progress, gauge.Max / 2);
        QVERIFY(gauge.Max > (1 << 30));
        bridge.ShowFile({size, 0, true});
        QTRY_COMPARE(gauge.Progress, gauge.MinValue());
        // Without the bar the gauge shows the byte counts as its text.
        bar = false;
        bridge.ShowFile({3072, 1536, false});
        QTRY_COMPARE(gauge.Text, QString::fromStdString(
                                     ByteCountText(1536, 3072, TNumberFormat::FromUserLocale())));
    }

    // The run as a user drives it, with what each step shows and what lands on disk.
    void CopyPauseResumeAbortOnALargeFile() {
        WriteFile(QueueFile(), QueueText({bigFile_, bigFile_}, {P("out"), P("out2")}));
        TfrmMain w;
        w.show();
        TFerroxCore& core = w.Core();
        auto* copyNow = Find<QPushButton>(w, "btnCopyNow");
        auto* close = Find<QPushButton>(w, "btnClose");

        QTest::mouseClick(copyNow, Qt::LeftButton);
        QCOMPARE(copyNow->text(), QString("Pause"));
        QCOMPARE(copyNow->toolTip(), QString("Pause the Copy at the Next File"));
        QCOMPARE(close->text(), QString("&Abort"));
        QCOMPARE(close->toolTip(), QString("Abort the current Copy"));

        QVERIFY(SpinUntilStatus(core, 0, lsFileCopying));
        QTest::mouseClick(copyNow, Qt::LeftButton); // Pause: the file waits where it is
        QCOMPARE(copyNow->text(), QString("Resume"));
        QCOMPARE(copyNow->toolTip(), QString("Resume the Copy"));
        QTRY_COMPARE_WITH_TIMEOUT(w.StatusText(), QString("Copy currently Paused."), 30000);
        QCOMPARE(StatusOfLine(core, 0), lsFileCopying);
        QCOMPARE(StatusOfLine(core, 1), lsFileWaiting);
        QVERIFY(!Exists(P("out/big.bin")));
        QCOMPARE(close->text(), QString("&Abort"));

        // The rate panel's menu caps the run at once, and the panel says so.
        auto* oneMiB = Find<QAction>(w, "mnupopRate1M");
        oneMiB->trigger();
        QCOMPARE(core.SpeedLimit(), int64_t(1) << 20);
        QTRY_VERIFY(w.RateText().endsWith("at most 1 MiB/s") ||
                    w.RateText().endsWith("at most 1 MiB/s)"));
        Find<QAction>(w, "mnupopRateNoLimit")->trigger();
        QCOMPARE(core.SpeedLimit(), int64_t(0));
        QTRY_VERIFY(!w.RateText().contains("at most"));

        QTest::mouseClick(copyNow, Qt::LeftButton); // Resume: the same file goes on
        QCOMPARE(copyNow->text(), QString("Pause"));
        QVERIFY(SpinUntilStatus(core, 1, lsFileCopying));
        QCOMPARE(StatusOfLine(core, 0), lsFileDone);
        QTest::mouseClick(close, Qt::LeftButton); // Abort: the program goes on
        QTRY_COMPARE_WITH_TIMEOUT(copyNow->text(), QString("Copy NOW"), 30000);
        QTRY_COMPARE(close->text(), QString("&Close"));
        QVERIFY(close->toolTip().isEmpty());
        QCOMPARE(copyNow->toolTip(), QString("Start the Copy Process"));
        QTRY_COMPARE(w.StatusText(),
                     QString("All File Copies Completed \u2014 1 interrupted (aborted)"));
        QCOMPARE(StatusOfLine(core, 1), lsFileFailed);
        QVERIFY(!Exists(P("out2/big.bin")));
        QVERIFY(ReadFile(P("out/big.bin")) == ReadFile(bigFile_));
        QVERIFY(w.isVisible());
        QVERIFY(close->isEnabled());
        QVERIFY(copyNow->isEnabled());
    }

    // Close saves even a queue too large for autosave, with the please-wait window and the
    // buttons off meanwhile; the close box leaves the file as the last save left it.
    void CloseSavesForcedAndTheCloseBoxDoesNot() {
        std::vector<std::string> sources, dests;
        for (int i = 0; i < 40; ++i) {
            sources.push_back(P("s" + std::to_string(i)));
            dests.push_back(P("out"));
        }
        const std::string original = QueueText(sources, dests);
        WriteFile(QueueFile(), original);
        {
            TfrmMain w;
            w.show();
            w.Core().PartsForTesting().Queue.AddItem(w.Core().PartsForTesting().Queue.lstCopyFrom,
                                                     P("added"), false, lsFileWaiting);
            w.close();
        }
        QCOMPARE(ReadFile(QueueFile()), original);

        TfrmMain w;
        w.show();
        TWaitRecorder wait;
        bool copyNowOff = false, aboutOn = false;
        wait.OnShow = [&] {
            copyNowOff = !Find<QPushButton>(w, "btnCopyNow")->isEnabled();
            aboutOn = Find<QPushButton>(w, "btnAbout")->isEnabled();
        };
        w.SetPleaseWait(&wait);
        w.Core().PartsForTesting().Queue.AddItem(w.Core().PartsForTesting().Queue.lstCopyFrom,
                                                 P("added"), false, lsFileWaiting);
        w.Core().PartsForTesting().Queue.AddItem(w.Core().PartsForTesting().Queue.lstCopyTo,
                                                 P("out"), false, lsDirWaiting);
        QTest::mouseClick(Find<QPushButton>(w, "btnClose"), Qt::LeftButton);
        QTRY_VERIFY(!w.isVisible());
        QCOMPARE(wait.Shown, 1);
        QVERIFY(copyNowOff);
        QVERIFY(aboutOn);
        QVERIFY(ReadFile(QueueFile()).find("FROM-41=F:" + P("added")) != std::string::npos);
        QVERIFY(Find<QPushButton>(w, "btnCopyNow")->isEnabled());
    }

    // The close box during a paused run: the window goes without saving and without
    // waiting for anything but the worker's next check.
    void CloseBoxDuringAPausedRunEndsPromptly() {
        WriteFile(P("small"), "small");
        const std::string queue = QueueText({bigFile_, P("small")}, {P("out"), P("out2")});
        WriteFile(QueueFile(), queue);
        auto w = std::make_unique<TfrmMain>();
        w->show();
        auto* copyNow = Find<QPushButton>(*w, "btnCopyNow");
        QTest::mouseClick(copyNow, Qt::LeftButton);
        QVERIFY(SpinUntilStatus(w->Core(), 0, lsFileCopying));
        QTest::mouseClick(copyNow, Qt::LeftButton); // Pause
        QTRY_COMPARE_WITH_TIMEOUT(w->StatusText(), QString("Copy currently Paused."), 30000);
        w->close();
        const auto start = std::chrono::steady_clock::now();
        w.reset();
        QVERIFY(std::chrono::steady_clock::now() - start < std::chrono::seconds(10));
        QVERIFY(!Exists(P("out2/small")));
        QCOMPARE(ReadFile(QueueFile()), queue);
        QCOMPARE(RunThreadCount(), size_t(0)); // the worker and the monitor ended
    }

    // A handler that throws: three log lines naming it, and the window goes on.
    void ExceptionInAHandlerIsLoggedAndTheWindowGoesOn() {
        TfrmMain w;
        w.show();
        w.ExecAbout = [](QWidget*) { throw std::runtime_error("gremlins"); };
        QTest::mouseClick(Find<QPushButton>(w, "btnAbout"), Qt::LeftButton);
        const std::vector<std::string> expected = {
            "An Exception occurred, please the email developer the log file [gremlins]",
            "Trace is : ", "btnAboutClick"};
        QVERIFY2(LogLines(LogFileName()) == expected, ReadFile(LogFileName()).c_str());
        QCOMPARE(w.StatusText(), QString("btnAboutClick"));

        auto* copyNow = Find<QPushButton>(w, "btnCopyNow");
        QTest::mouseClick(copyNow, Qt::LeftButton); // an empty queue: the run ends at once
        QTRY_COMPARE(w.StatusText(), QString("All File Copies Completed"));
        QTRY_COMPARE(copyNow->text(), QString("Copy NOW"));
        QCOMPARE(LogLines(LogFileName()).size(), size_t(3));
    }
};

int main(int argc, char** argv) {
    TFerroxApplication app(argc, argv);
    TFrmMainTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "FrmMainTest.moc"
