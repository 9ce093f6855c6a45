// The window as a screen reader and a keyboard user meet it: names, roles, values and
// texts read through Qt's accessibility interfaces (what the AT-SPI bridge hands on), the
// keyboard alone, and words that can be read whole.
#include "WindowHelpers.h"
#include "diag/ErrorLog.h"
#include "platform/SettingsDir.h"
#include "queue/CopyQueue.h"
#include "support/TestSupport.h"
#include "ui/common/ElidedLabel.h"
#include "ui/lists/LineListView.h"
#include "ui/modMain/WindowBridges.h"
#include "ui/modMain/frmMain.h"

#include <QAccessible>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QtTest>

using namespace ferrox;
using namespace ferrox::test;

namespace {
QAccessibleInterface* Accessible(QObject* object) {
    return QAccessible::queryAccessibleInterface(object);
}
} // namespace

class TAccessibilityTest : public QObject {
    Q_OBJECT
    std::unique_ptr<TTempDir> dir_;
    std::unique_ptr<TWorkingDirectory> cwd_;
    std::string P(const std::string& name) const { return *dir_ / name; }

private slots:
    void initTestCase() {
        dir_ = std::make_unique<TTempDir>();
        cwd_ = std::make_unique<TWorkingDirectory>(dir_->Path());
        MakeDir(P("prog"));
        SetSettingsDirForTesting(P("prog"));
    }
    void cleanupTestCase() {
        cwd_.reset();
        dir_.reset();
    }

    // The lists by their names, each line its path and status in words; a folder that
    // cannot be made fails, says why and leaves its own name on the status line.
    void ListsAndLinesReadAsWordsAndAFailedFolderIsNamed() {
        MakeDir(P("src"));
        MakeDir(P("src/d"));
        WriteFile(P("src/a.txt"), "a");
        WriteFile(P("src/d/b.txt"), "b");
        WriteFile(P("blocker"), "a file where a folder should go");
        MakeDir(P("out"));
        WriteFile(P("prog/QUEUE.INI"),
                  "[Queue]\r\nFROM-1=F:" + P("src/a.txt") + "\r\nTO-1=" + P("out") +
                      "\r\nDONE-1=0\r\nMOVE-1=0\r\nFROM-2=D:" + P("src/d/") +
                      "\r\nTO-2=" + P("blocker/") + "\r\nDONE-2=0\r\nMOVE-2=0\r\n");
        TfrmMain w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto* from = Find<TLineListView>(w, "lstCopyFrom");
        auto* to = Find<TLineListView>(w, "lstCopyTo");
        QTRY_COMPARE(from->model()->rowCount(), 2);

        QCOMPARE(Accessible(from)->text(QAccessible::Name), QString("Copy From"));
        QCOMPARE(Accessible(to)->text(QAccessible::Name), QString("Copy To"));
        QAccessibleTableInterface* table = Accessible(from)->tableInterface();
        QVERIFY(table);
        QCOMPARE(table->columnDescription(0), QString("Copy From"));
        auto lineText = [&](int row) { return table->cellAt(row, 0)->text(QAccessible::Name); };
        QCOMPARE(lineText(0), QString::fromStdString(P("src/a.txt")) + ", file, waiting");
        QCOMPARE(lineText(1), QString::fromStdString(P("src/d/")) + ", folder, waiting");

        QTest::mouseClick(Find<QPushButton>(w, "btnCopyNow"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(w.StatusText(),
                                  QString("All File Copies Completed \u2014 1 failed"), 30000);
        QTRY_COMPARE(lineText(0), QString::fromStdString(P("src/a.txt")) + ", file, done");
        const QString failed = lineText(1);
        QVERIFY2(
            failed.startsWith(QString::fromStdString(P("src/d/")) + ", folder, failed: Failed ") &&
                failed.endsWith(": Not a directory"),
            qPrintable(failed));
        const std::string log = ReadFile(LogFileName());
        const std::string folderLine =
            "Error creating directory [" + P("blocker/") + "] Not a directory";
        QVERIFY2(log.find(folderLine) != std::string::npos, log.c_str());

        // Of that failure's words the status line keeps the one that names the folder.
        std::vector<std::string> shown;
        TRunEventsBridge::TShow show;
        show.Status = [&](const std::string& text) { shown.push_back(text); };
        TRunEventsBridge bridge(show);
        TRunEvent folderFailed(TRunEvent::LineFailed, nullptr, P("src/d/"), ENOTDIR, P("blocker/"));
        folderFailed.Stage = TRunEvent::AtMakingFolder;
        bridge.RunEvent(folderFailed, WordsOf(folderFailed));
        QCOMPARE(shown.size(), size_t(2));
        QCOMPARE(shown.back(), folderLine);
        TRunEvent fileFailed(TRunEvent::LineFailed, nullptr, P("src/a.txt"), ENOENT,
                             P("src/a.txt"));
        shown.clear();
        bridge.RunEvent(fileFailed, WordsOf(fileFailed));
        QCOMPARE(shown.back(), std::string("Error copying file [No such file or directory]"));
        ::unlink(LogFileName().c_str());
    }

    // The gauge is a progress bar with its percentage as the value; its text reads over
    // the bar and beside it, in the design's colours and a dark palette's alike.
    void GaugeIsAProgressBarWithReadableText() {
        TGaugeWidget gauge;
        gauge.setAccessibleName("File copy progress");
        gauge.SetMaxValue(8);
        gauge.SetProgress(3);
        QAccessibleInterface* a = Accessible(&gauge);
        QVERIFY(a);
        QCOMPARE(a->role(), QAccessible::ProgressBar);
        QCOMPARE(a->text(QAccessible::Name), QString("File copy progress"));
        QVERIFY(a->valueInterface());
        QCOMPARE(a->valueInterface()->currentValue().toInt(), 38);
        QCOMPARE(a->valueInterface()->maximumValue().toInt(), 100);
        QCOMPARE(a->text(QAccessible::Value), QString("38%"));

        // The design's black text on saturated blue is 2.4:1: the text turns white there.
        gauge.SetStyle(sSolid);
        QVERIFY(ContrastRatio(Qt::black, QColor(0, 0, 255)) < 4.5);
        QCOMPARE(gauge.TextColorOverFill(), QColor(Qt::white));
        QPalette light = gauge.palette(), dark = light;
        dark.setColor(QPalette::Base, QColor(0x23, 0x26, 0x29));
        dark.setColor(QPalette::Text, QColor(0xfc, 0xfc, 0xfc));
        dark.setColor(QPalette::Highlight, QColor(0x3d, 0xae, 0xe9));
        dark.setColor(QPalette::HighlightedText, QColor(0xfc, 0xfc, 0xfc)); // 2.5:1 on it
        gauge.SetFollowPalette(true);
        for (const QPalette& palette : {light, dark}) {
            gauge.setPalette(palette);
            QCOMPARE(gauge.FillColor1(), palette.color(QPalette::Highlight));
            QCOMPARE(gauge.EmptyColor(), palette.color(QPalette::Base));
            QVERIFY(ContrastRatio(gauge.TextColorOverFill(), gauge.FillColor1()) >= 4.5);
            QVERIFY(ContrastRatio(gauge.TextColorOverEmpty(), gauge.EmptyColor()) >= 4.5);
        }
        QCOMPARE(gauge.TextColorOverEmpty(), QColor(0xfc, 0xfc, 0xfc)); // the theme's own

        // What is painted is what was chosen: text pixels over the bar in its colour.
        gauge.resize(200, 22);
        gauge.SetProgress(8);
        const QImage image = gauge.grab().toImage();
        bool textOverBar = false;
        for (int x = 0; x < image.width() && !textOverBar; ++x)
            for (int y = 2; y < image.height() - 2 && !textOverBar; ++y)
                textOverBar = image.pixelColor(x, y) == gauge.TextColorOverFill();
        QVERIFY(textOverBar);
    }

    // Tab reaches both lists, Space toggles a line's Move mark, the Menu key opens the
    // list's popup.
    void KeyboardAloneReachesAndUsesTheLists() {
        WriteFile(P("prog/QUEUE.INI"), "[Queue]\r\nFROM-1=F:" + P("src/a.txt") +
                                           "\r\nTO-1=" + P("out") + "\r\nDONE-1=0\r\nMOVE-1=0\r\n");
        TfrmMain w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto* from = Find<TLineListView>(w, "lstCopyFrom");
        QTRY_COMPARE(from->model()->rowCount(), 1);
        QWidget* reached = nullptr;
        Find<QPushButton>(w, "btnSelFiles")->setFocus();
        for (int i = 0; i < 12 && reached != from; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            reached = QApplication::focusWidget();
        }
        QCOMPARE(reached, from);
        QTest::keyClick(from, Qt::Key_Down);
        QVERIFY(from->currentIndex().isValid());
        PVirtualNode line = w.Core().SourceList().FirstNode();
        QCOMPARE(line->CheckMark.load(), TCheckState::csUncheckedNormal);
        QTest::keyClick(from, Qt::Key_Space);
        QTRY_COMPARE(line->CheckMark.load(), TCheckState::csCheckedNormal);
        QTest::keyClick(from, Qt::Key_Space);
        QTRY_COMPARE(line->CheckMark.load(), TCheckState::csUncheckedNormal);

        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), Find<TLineListView>(w, "lstCopyTo"));

        auto* menu = Find<QMenu>(w, "mnupopFrom");
        QContextMenuEvent byKey(QContextMenuEvent::Keyboard, QPoint(), QPoint());
        QApplication::sendEvent(from, &byKey);
        QTRY_VERIFY(menu->isVisible());
        menu->hide();
    }

    // A long message is cut in its middle with "…", whole in the tooltip and to a reader.
    void LongStatusIsElidedInTheMiddleAndWholeInItsTooltip() {
        TfrmMain w;
        w.resize(600, 400);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const std::string path = "/very/long" + std::string(40, 'x') + "/path/" +
                                 std::string(60, 'y') + "/the-file-name.txt";
        w.Core().PartsForTesting().Queue.StatusLine.Show("Copying " + path);
        auto* panel = Find<TElidedLabel>(w, "StatusPanel0");
        QTRY_COMPARE(w.StatusText(), QString::fromStdString("Copying " + path));
        const QString shown = panel->ShownText();
        QVERIFY2(shown.contains(u'\u2026') && shown.startsWith("Copying /very") &&
                     shown.endsWith("the-file-name.txt"),
                 qPrintable(shown));
        QVERIFY(panel->fontMetrics().horizontalAdvance(shown) <= panel->contentsRect().width());
        QVERIFY(panel->toolTip().contains(QString::fromStdString(path)));
        QCOMPARE(Accessible(panel)->text(QAccessible::Name), w.StatusText());
    }
};

QTEST_MAIN(TAccessibilityTest)
#include "AccessibilityTest.moc"
