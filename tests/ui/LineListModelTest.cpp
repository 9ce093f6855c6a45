#include "ui/LineListModel.h"
#include "ui/modMain/frmMain.h"

#include <QFile>
#include <QItemSelectionModel>
#include <QTreeView>
#include <QtTest>

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
};

QTEST_MAIN(TLineListModelTest)
#include "LineListModelTest.moc"
