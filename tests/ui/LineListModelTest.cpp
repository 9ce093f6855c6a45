#include "ui/lists/LineListModel.h"
#include "ui/modMain/frmMain.h"

#include <QFile>
#include <QItemSelectionModel>
#include <QTreeView>
#include <QtTest>

#include <atomic>
#include <thread>

using namespace ferrox;

class TLineListModelTest : public QObject {
    Q_OBJECT
private slots:
    void WindowHasTitleAndBothLists() {
        TfrmMain frmMain;
        QCOMPARE(frmMain.windowTitle(), QString("Ferrox"));
        QVERIFY(frmMain.findChild<QTreeView*>("lstCopyFrom"));
        QVERIFY(frmMain.findChild<QTreeView*>("lstCopyTo"));
    }

    // Lines inserted and removed by other threads reach the view as row changes, so a
    // selected row stays on its line.
    void RowsFollowTheListAndSelectionSurvives() {
        TVirtualTree list;
        TLineListModel model(list);
        QItemSelectionModel selection(&model);
        PVirtualNode first = list.AppendNode("/a");
        list.AppendNode("/b");
        PVirtualNode c = list.AppendNode("/c");
        model.Refresh();
        QCOMPARE(model.rowCount(), 3);
        QCOMPARE(model.data(model.index(2), Qt::DisplayRole).toString(), QString("/c"));
        selection.select(model.index(2), QItemSelectionModel::Select);

        for (int i = 0; i < 100; ++i)
            list.InsertNodeAfter(first, "/a/entry");
        model.Refresh();
        QCOMPARE(model.rowCount(), 103);
        QVERIFY(selection.isSelected(model.index(102)));
        QCOMPARE(model.NodeOfRow(102), c);

        list.RemoveNode(first);
        list.RemoveNode(list.FirstNode());
        model.Refresh();
        QCOMPARE(model.rowCount(), 101);
        QVERIFY(selection.isSelected(model.index(100)));

        list.RemoveAllNodes();
        model.Refresh();
        QCOMPARE(model.rowCount(), 0);
    }

    void PathsShowAsTheyAreAndTheBoxShowsTheMark() {
        TVirtualTree list(TCheckType::CheckKindTwoState);
        TLineListModel model(list, true, nullptr);
        const std::string odd = "/data/caf\xc3\xa9/byte\xff";
        PVirtualNode n = list.AppendNode(odd);
        list.SetCheckMark(n, TCheckState::csCheckedNormal);
        model.Refresh();
        // A byte that is no character shows as a stand-in; the line keeps its bytes.
        QString shown = model.data(model.index(0), Qt::DisplayRole).toString();
        QVERIFY(shown.startsWith(QString::fromUtf8("/data/caf\xc3\xa9/byte")));
        QCOMPARE(shown.size(), QString("/data/café/byte").size() + 1);
        QCOMPARE(model.NodeOfRow(0)->Data.Path, odd);
        QCOMPARE(model.data(model.index(0), Qt::CheckStateRole).toInt(), int(Qt::Checked));
    }

    // A list that never stops changing (a run on another thread) is shown about ten times
    // a second, not on every look at it: each refresh repaints the views, which costs the
    // copy processor time. What changed is still shown, during the run and after it.
    void AListThatKeepsChangingRefreshesAtABoundedRate() {
        TVirtualTree list;
        for (int i = 0; i < 100; ++i)
            list.AppendNode("/busy/" + std::to_string(i));
        TLineListModel model(list);
        int refreshes = 0;
        connect(&model, &TLineListModel::LinesChanged, this, [&] { ++refreshes; });
        std::atomic<bool> stop{false};
        std::thread run([&] {
            for (int i = 0; !stop; ++i) {
                list.SetStatus(list.NodeAt(i % 100), i % 8);
                if (i % 1000 == 0)
                    list.AppendNode("/busy/more");
            }
        });
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 600)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        const qint64 ms = clock.elapsed();
        stop = true;
        run.join();
        QVERIFY(refreshes >= 1);
        // Looking at every tick would give about 18.
        QVERIFY2(refreshes <= ms / 100 + 2, qPrintable(QString::number(refreshes)));
        QTRY_COMPARE(model.rowCount(), int(list.RootNodeCount()));
    }
};

QTEST_MAIN(TLineListModelTest)
#include "LineListModelTest.moc"
