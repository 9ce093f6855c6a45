#include "ui/LineListView.h"
#include "ui/LineListModel.h"
#include "ui/LineRows.h"
#include "ui/modMain/LineImages.h"

#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QStyleOptionViewItem>
#include <QtTest>
#include <atomic>
#include <random>
#include <thread>

using namespace ferrox;

namespace {

std::vector<PVirtualNode> CoreSelection(const TVirtualTree& list) {
    std::vector<PVirtualNode> out;
    for (PVirtualNode n = list.FirstSelectedNode(); n; n = list.NextSelectedNode(n))
        out.push_back(n);
    return out;
}

std::vector<PVirtualNode> ViewSelection(const TLineListView& view) {
    std::vector<PVirtualNode> out;
    for (int row = 0; row < view.model()->rowCount(); ++row)
        if (view.selectionModel()->isRowSelected(row, {}))
            out.push_back(view.NodeOfRow(row));
    return out;
}

std::vector<PVirtualNode> Rows(const TLineListView& view) {
    std::vector<PVirtualNode> out;
    for (int row = 0; row < view.model()->rowCount(); ++row)
        out.push_back(view.NodeOfRow(row));
    return out;
}

std::vector<PVirtualNode> Lines(const TVirtualTree& list) {
    std::vector<PVirtualNode> out;
    for (PVirtualNode n = list.FirstNode(); n; n = list.NextNode(n))
        out.push_back(n);
    return out;
}

QPoint RowCenter(const TLineListView& view, int row) {
    return view.visualRect(view.model()->index(row, 0)).center();
}

// What the user sees at the moment the popup would open.
struct TPopupSeen {
    std::vector<PVirtualNode> Core;
    std::vector<PVirtualNode> View;
    int Count = 0;
};

void RightClick(TLineListView& view, QPoint pos) {
    QTest::mousePress(view.viewport(), Qt::RightButton, {}, pos);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, pos, view.viewport()->mapToGlobal(pos));
    QApplication::sendEvent(view.viewport(), &menu);
    QTest::mouseRelease(view.viewport(), Qt::RightButton, {}, pos);
}

QRect CheckBoxRect(TLineListView& view, int row) {
    QStyleOptionViewItem opt;
    opt.initFrom(view.viewport());
    opt.rect = view.visualRect(view.model()->index(row, 0));
    opt.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay |
                   QStyleOptionViewItem::HasDecoration;
    opt.decorationSize = QSize(16, 16);
    opt.text = view.model()->index(row, 0).data().toString();
    return view.style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, &view);
}

} // namespace

class TLineListViewTest : public QObject {
    Q_OBJECT
private slots:
    // The blocks of rows against a plain vector, through runs of inserts and removals
    // of every size, at the ends, inside and across blocks.
    void RowsMatchAPlainVectorUnderRandomChanges() {
        TLineRows rows;
        std::vector<PVirtualNode> plain;
        std::mt19937 rng(7);
        rows.Assign({});
        for (int step = 0; step < 1500; ++step) {
            if (rng() % 5 < 3 || plain.empty()) {
                size_t at = rng() % (plain.size() + 1);
                size_t n = rng() % 4 == 0 ? rng() % 3000 + 1 : rng() % 5 + 1;
                std::vector<PVirtualNode> lines;
                for (size_t i = 0; i < n; ++i)
                    lines.push_back(std::make_shared<TVirtualNode>(std::to_string(step)));
                rows.Insert(at, lines);
                plain.insert(plain.begin() + at, lines.begin(), lines.end());
            } else {
                size_t at = rng() % plain.size();
                size_t n = std::min(plain.size() - at,
                                    rng() % 3 == 0 ? size_t(rng() % 2000 + 1) : size_t(1));
                rows.Erase(at, n);
                plain.erase(plain.begin() + at, plain.begin() + at + n);
            }
            QCOMPARE(rows.Size(), plain.size());
            for (size_t i = 0; i < plain.size(); i += 1 + rng() % 97)
                QVERIFY(rows.At(i) == plain[i]);
            if (!plain.empty())
                QVERIFY(rows.At(plain.size() - 1) == plain.back());
        }
        rows.Assign(plain);
        for (size_t i = 0; i < plain.size(); ++i)
            QVERIFY(rows.At(i) == plain[i]);
    }

    // The user selects two lines; another thread then inserts 1,000 lines above and
    // between them while the view keeps refreshing. The list's selection and the view's
    // still name exactly those two lines, and no new line shows as selected.
    void SelectionStaysOnItsLinesWhileAnotherThreadInserts() {
        TVirtualTree list(TCheckType::CheckKindTwoState);
        std::vector<PVirtualNode> lines;
        for (int i = 0; i < 10; ++i)
            lines.push_back(list.AppendNode("/src/" + std::to_string(i)));
        TLineListView view(list, true, "lstCopyFrom", nullptr);
        view.resize(300, 400);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, RowCenter(view, 3));
        QTest::mouseClick(view.viewport(), Qt::LeftButton, Qt::ControlModifier, RowCenter(view, 6));
        const std::vector<PVirtualNode> chosen = {lines[3], lines[6]};
        QCOMPARE(CoreSelection(list), chosen);

        std::atomic<bool> done{false};
        std::thread expander([&] {
            // As a directory expansion does: files right after the directory line, each in
            // front of the last, subdirectories after the newest line.
            PVirtualNode last = lines[0];
            for (int i = 0; i < 1000; ++i) {
                PVirtualNode anchor = i % 3 ? lines[0] : last;
                if (i % 250 == 249)
                    anchor = lines[4]; // between the two chosen lines
                last = list.InsertNodeAfter(anchor, "/src/0/" + std::to_string(i));
                if (i % 50 == 0)
                    std::this_thread::yield();
            }
            done = true;
        });
        while (!done)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        expander.join();
        // Before the view has caught up, its rows are still the lines it showed.
        QCOMPARE(ViewSelection(view), chosen);
        view.LineModel()->Refresh();

        QCOMPARE(view.model()->rowCount(), 1010);
        QCOMPARE(Rows(view), Lines(list));
        QCOMPARE(CoreSelection(list), chosen);
        QCOMPARE(ViewSelection(view), chosen);
        // Shift-click extends from the current line over the new ones, in both places.
        int row6 = list.Index(lines[6]);
        view.scrollTo(view.model()->index(row6, 0));
        QTest::mouseClick(view.viewport(), Qt::LeftButton, Qt::ShiftModifier,
                          RowCenter(view, row6 - 2));
        std::vector<PVirtualNode> now = CoreSelection(list);
        QCOMPARE(now, ViewSelection(view));
        for (int row = row6 - 2; row <= row6; ++row)
            QVERIFY(std::find(now.begin(), now.end(), view.NodeOfRow(row)) != now.end());
    }

    // The popup's commands act on the selected lines, so the line under a right click must
    // be selected by the time the popup is asked for; a right click on a line of a
    // selection keeps the whole selection.
    void RightClickSelectsTheLineUnderItBeforeThePopup() {
        TVirtualTree list;
        std::vector<PVirtualNode> lines;
        for (int i = 0; i < 6; ++i)
            lines.push_back(list.AppendNode("/dst/" + std::to_string(i), 1));
        TLineListView view(list, false, "lstCopyTo", nullptr);
        view.resize(300, 400);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QCOMPARE(view.contextMenuPolicy(), Qt::CustomContextMenu);
        TPopupSeen seen;
        connect(&view, &QWidget::customContextMenuRequested, &view, [&](const QPoint&) {
            seen.Core = CoreSelection(list);
            seen.View = ViewSelection(view);
            ++seen.Count;
        });

        QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, RowCenter(view, 1));
        QTest::mouseClick(view.viewport(), Qt::LeftButton, Qt::ControlModifier, RowCenter(view, 2));
        RightClick(view, RowCenter(view, 2));
        QCOMPARE(seen.Count, 1);
        QCOMPARE(seen.Core, (std::vector<PVirtualNode>{lines[1], lines[2]}));

        RightClick(view, RowCenter(view, 4));
        QCOMPARE(seen.Count, 2);
        QCOMPARE(seen.Core, std::vector<PVirtualNode>{lines[4]});
        QCOMPARE(seen.View, std::vector<PVirtualNode>{lines[4]});

        // Lines inserted above by another thread and not yet shown: the right click still
        // selects the line the user sees under the pointer, not the one now at its place.
        std::thread([&] {
            for (int i = 0; i < 3; ++i)
                list.InsertNodeAfter(nullptr, "tail");
            list.InsertNodeAfter(lines[0], "/dst/new");
        }).join();
        QPoint row5 = RowCenter(view, 5);
        QCOMPARE(view.indexAt(row5).data().toString(), QString("/dst/5"));
        // A popup asked for without a press (some platforms) selects as well.
        QContextMenuEvent menu(QContextMenuEvent::Mouse, row5, view.viewport()->mapToGlobal(row5));
        QApplication::sendEvent(view.viewport(), &menu);
        QCOMPARE(seen.Count, 3);
        QCOMPARE(seen.Core, std::vector<PVirtualNode>{lines[5]});
        view.LineModel()->Refresh();
        QCOMPARE(ViewSelection(view), std::vector<PVirtualNode>{lines[5]});

        // On empty space below the lines nothing changes, and the popup still opens.
        RightClick(view, QPoint(10, view.viewport()->height() - 2));
        QCOMPARE(seen.Count, 4);
        QCOMPARE(seen.Core, std::vector<PVirtualNode>{lines[5]});
    }

    // Only source lines have a box; a click on it toggles the line's Move mark in the
    // list, and the same click on a destination line changes nothing.
    void CheckBoxTogglesMoveOnSourceLinesOnly() {
        TVirtualTree from(TCheckType::CheckKindTwoState);
        TVirtualTree to;
        PVirtualNode src = from.AppendNode("/src/a");
        PVirtualNode dst = to.AppendNode("/dst", 1);
        int checked = 0;
        from.OnChecked = [&](const PVirtualNode& n) { checked += n == src; };
        TLineListView fromView(from, true, "lstCopyFrom", nullptr);
        TLineListView toView(to, false, "lstCopyTo", nullptr);
        for (TLineListView* v : {&fromView, &toView}) {
            v->resize(300, 200);
            v->show();
            QVERIFY(QTest::qWaitForWindowExposed(v));
        }
        QModelIndex line = fromView.model()->index(0, 0);
        QCOMPARE(line.data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
        QRect box = CheckBoxRect(fromView, 0);
        QVERIFY(box.isValid());

        QTest::mouseClick(fromView.viewport(), Qt::LeftButton, {}, box.center());
        QCOMPARE(src->CheckMark.load(), TCheckState::csCheckedNormal);
        QCOMPARE(line.data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
        QCOMPARE(checked, 1);
        QTest::mouseClick(fromView.viewport(), Qt::LeftButton, {}, box.center());
        QCOMPARE(src->CheckMark.load(), TCheckState::csUncheckedNormal);
        QCOMPARE(checked, 2);
        // A click on the path beside the box selects, it does not toggle.
        QTest::mouseClick(fromView.viewport(), Qt::LeftButton, {},
                          QPoint(box.right() + 60, box.center().y()));
        QCOMPARE(src->CheckMark.load(), TCheckState::csUncheckedNormal);
        QVERIFY(src->Selected());

        QVERIFY(!toView.model()->index(0, 0).data(Qt::CheckStateRole).isValid());
        QVERIFY(!(toView.model()->flags(toView.model()->index(0, 0)) & Qt::ItemIsUserCheckable));
        QTest::mouseClick(toView.viewport(), Qt::LeftButton, {}, box.center());
        QCOMPARE(dst->CheckMark.load(), TCheckState::csUncheckedNormal);
        QVERIFY(
            !toView.model()->setData(toView.model()->index(0, 0), Qt::Checked, Qt::CheckStateRole));
        QCOMPARE(dst->CheckMark.load(), TCheckState::csUncheckedNormal);
        // The destination list shows the root's indent, the source list does not.
        QVERIFY(toView.rootIsDecorated());
        QVERIFY(!fromView.rootIsDecorated());
    }

    // Lines removed and inserted by another thread, many times over, while the view
    // refreshes on its own timer: after each refresh every row is the line at that place
    // in the list, never a removed line's neighbour, and until then a row still shows
    // the line it was announced for.
    void RowsAreAlwaysTheListsLinesAfterARefresh() {
        TVirtualTree list;
        for (int i = 0; i < 2000; ++i)
            list.AppendNode("/line/" + std::to_string(i));
        TLineListView view(list, false, "lstCopyTo", nullptr);
        view.resize(300, 400);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));

        PVirtualNode victim = view.NodeOfRow(5);
        list.RemoveNode(victim);
        QCOMPARE(view.NodeOfRow(5), victim);
        QCOMPARE(view.model()->index(5, 0).data().toString(), QString("/line/5"));
        view.LineModel()->Refresh();
        QCOMPARE(view.model()->index(5, 0).data().toString(), QString("/line/6"));

        // The other thread goes on changing until the view has refreshed twenty times
        // meanwhile, so refreshes really fall between its changes.
        std::atomic<int> refreshes{0};
        connect(view.LineModel(), &TLineListModel::LinesChanged, &view, [&] { ++refreshes; });
        std::atomic<bool> done{false};
        std::thread changer([&] {
            std::mt19937 rng(99);
            for (int step = 0; refreshes < 20; ++step) {
                uint32_t count = list.RootNodeCount();
                PVirtualNode at = list.NodeAt(count ? rng() % count : 0);
                if (rng() % 2 || !at)
                    list.InsertNodeAfter(at, "/new/" + std::to_string(step));
                else
                    list.RemoveNode(at);
                if (step % 2000 == 0) {
                    list.BeginBatch();
                    for (int k = 0; k < 50; ++k)
                        list.RemoveNode(list.FirstNode());
                    list.EndBatch();
                }
            }
            done = true;
        });
        while (!done)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        changer.join();
        view.LineModel()->Refresh();
        QCOMPARE(Rows(view), Lines(list));
        for (int row = 0; row < view.model()->rowCount(); row += 97)
            QCOMPARE(view.model()->index(row, 0).data().toString(),
                     QString::fromStdString(list.NodeAt(row)->Data.Path));
    }

    // Nothing of a batch shows until it ends, even when a change came just before it.
    void ABatchShowsOnlyWhenItEnds() {
        TVirtualTree list;
        PVirtualNode first = list.AppendNode("/a");
        TLineListModel model(list, false, nullptr);
        list.SetStatus(first, 2); // flagged before the batch
        list.BeginBatch();
        for (int i = 0; i < 10; ++i)
            list.AppendNode("/b");
        QSignalSpy repaints(&model, &TLineListModel::LinesChanged);
        QTRY_COMPARE_WITH_TIMEOUT(repaints.count() > 0 || model.rowCount() > 1, false, 150);
        model.Refresh();
        QCOMPARE(model.rowCount(), 1);
        list.EndBatch();
        QTRY_COMPARE(model.rowCount(), 11);
        QVERIFY(repaints.count() > 0);
    }

    // The list goes first (a window closing in the wrong order): a detached view keeps
    // painting the lines it holds and never reaches the list again. Views also come and go
    // while another thread keeps changing the list.
    void ViewsNeverTouchAListAfterDetachOrDestruction() {
        auto list = std::make_unique<TVirtualTree>(TCheckType::CheckKindTwoState);
        for (int i = 0; i < 100; ++i)
            list->AppendNode("/x/" + std::to_string(i), i % 8);
        auto view = std::make_unique<TLineListView>(*list, true, "lstCopyFrom", nullptr);
        view->resize(300, 300);
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view.get()));
        view->selectAll();
        view->Detach();
        list.reset();
        view->grab(); // paints from the lines it holds
        view->LineModel()->Refresh();
        view->clearSelection();
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, RowCenter(*view, 0));
        QCOMPARE(view->model()->rowCount(), 100);
        view.reset();

        TVirtualTree busy;
        std::atomic<bool> stop{false};
        std::thread changer([&] {
            for (int i = 0; !stop; ++i) {
                PVirtualNode n = busy.InsertNodeAfter(busy.NodeAt(i % 700), "/y");
                busy.SetStatus(n, i % 8);
                if (busy.RootNodeCount() > 1000)
                    busy.RemoveNode(busy.NodeAt(i % 500));
            }
        });
        for (int round = 0; round < 20; ++round) {
            TLineListView v(busy, false, "lstCopyTo", nullptr);
            v.show();
            QTest::qWait(round % 4 == 0 ? 40 : 1);
        }
        stop = true;
        changer.join();
    }

    // Eight different pictures, one per status, the selected one the same as the normal.
    void EachStatusHasItsOwnImageSelectedOrNot() {
        std::vector<QImage> seen;
        for (int status = 0; status < 8; ++status) {
            QIcon icon = LineImage(status);
            QImage normal = icon.pixmap(16, 16, QIcon::Normal).toImage();
            QImage selected = icon.pixmap(16, 16, QIcon::Selected).toImage();
            QCOMPARE(normal.size(), QSize(16, 16));
            QCOMPARE(selected, normal);
            QCOMPARE(qAlpha(normal.pixel(0, 0)), 0); // transparent ground
            for (const QImage& other : seen)
                QVERIFY(other != normal);
            seen.push_back(normal);
        }
        QVERIFY(LineImage(8).isNull());
        QVERIFY(LineImage(-1).isNull());

        TVirtualTree list;
        PVirtualNode n = list.AppendNode("/d", 5);
        TLineListModel model(list, false, nullptr);
        auto shown = [&] {
            return model.index(0).data(Qt::DecorationRole).value<QIcon>().pixmap(16).toImage();
        };
        QCOMPARE(shown(), LineImagePixmap(5).toImage());
        list.SetStatus(n, 3);
        QCOMPARE(shown(), LineImagePixmap(3).toImage());
    }

    // Not a timed test: prints what scrolling, select-all and a run's refresh cost with
    // 100,000 lines, and checks only that they did what they should.
    void HundredThousandLinesStayFast() {
        TVirtualTree list(TCheckType::CheckKindTwoState);
        for (int i = 0; i < 100000; ++i)
            list.AppendNode("/home/user/photos/2024/summer/IMG_" + std::to_string(i) + ".jpg",
                            i % 8);
        QElapsedTimer clock;
        clock.start();
        TLineListView view(list, true, "lstCopyFrom", nullptr);
        view.resize(400, 600);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.repaint();
        qint64 shown = clock.restart();

        QScrollBar* bar = view.verticalScrollBar();
        for (int step = 0; step <= 20; ++step) {
            bar->setValue(bar->maximum() * step / 20);
            view.viewport()->repaint();
        }
        qint64 scrolled = clock.restart();
        QCOMPARE(view.indexAt(QPoint(5, view.viewport()->height() - 5)).row() > 99900, true);

        view.selectAll();
        view.viewport()->repaint();
        qint64 selected = clock.restart();
        QCOMPARE(list.NextSelectedNode(list.FirstSelectedNode()), list.NodeAt(1));
        QVERIFY(list.LastNode()->Selected());

        view.clearSelection();
        qint64 cleared = clock.restart();
        QCOMPARE(list.FirstSelectedNode(), nullptr);

        // A run's worth of scattered inserts and status changes, shown in one refresh.
        PVirtualNode top = list.NodeAt(10);
        auto scatter = [&] {
            for (int i = 0; i < 1000; ++i) {
                list.InsertNodeAfter(list.NodeAt(i * 97), "/new");
                list.SetStatus(top, i % 8);
            }
            clock.restart();
            view.LineModel()->Refresh();
            view.viewport()->repaint();
            return clock.restart();
        };
        qint64 refreshed = scatter();
        QCOMPARE(view.model()->rowCount(), 101000);
        for (int row = 0; row < 101000; row += 50)
            view.selectionModel()->select(view.model()->index(row, 0), QItemSelectionModel::Select);
        QItemSelectionModel& selection = *view.selectionModel();
        selection.setCurrentIndex(view.model()->index(100050, 0), QItemSelectionModel::NoUpdate);
        PVirtualNode current = view.NodeOfRow(100050);
        qint64 refreshedSelected = scatter();
        // The burst went as one change of layout: selection and current line kept.
        QCOMPARE(ViewSelection(view), CoreSelection(list));
        QCOMPARE(CoreSelection(list).size(), size_t(2020));
        QCOMPARE(view.NodeOfRow(selection.currentIndex().row()), current);
        qInfo("100,000 lines: shown %lld ms, scrolled first to last %lld ms, select all %lld ms,"
              " selection cleared %lld ms; 1,000 scattered inserts refreshed %lld ms, with 2,000"
              " ranges selected %lld ms",
              shown, scrolled, selected, cleared, refreshed, refreshedSelected);
    }
};

QTEST_MAIN(TLineListViewTest)
#include "LineListViewTest.moc"
