#include "ui/lists/LineListView.h"
#include "ui/common/PathText.h"
#include "ui/lists/LineListModel.h"
#include "ui/lists/LineRows.h"
#include "ui/modMain/LineImages.h"

#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QHelpEvent>
#include <QScrollBar>
#include <QStyleOptionViewItem>
#include <QTextDocument>
#include <QToolTip>
#include <QtTest>
#include <atomic>
#include <random>
#include <thread>

using namespace ferrox;
using TLines = std::vector<PVirtualNode>;

namespace {

TLines CoreSelection(const TVirtualTree& list) {
    TLines out;
    for (PVirtualNode n = list.FirstSelectedNode(); n; n = list.NextSelectedNode(n))
        out.push_back(n);
    return out;
}

TLines Lines(const TVirtualTree& list) {
    TLines out;
    for (PVirtualNode n = list.FirstNode(); n; n = list.NextNode(n))
        out.push_back(n);
    return out;
}

// The view's rows, or only its selected rows, as lines.
TLines Rows(const TLineListView& view, bool selectedOnly = false) {
    TLines out;
    for (int row = 0; row < view.model()->rowCount(); ++row)
        if (!selectedOnly || view.selectionModel()->isRowSelected(row, {}))
            out.push_back(view.NodeOfRow(row));
    return out;
}

bool Show(TLineListView& view) {
    view.resize(300, 400);
    view.show();
    return QTest::qWaitForWindowExposed(&view);
}

QPoint RowCenter(const TLineListView& view, int row) {
    return view.visualRect(view.model()->index(row, 0)).center();
}

// A popup asked for by the mouse; some platforms send it without a press.
void RightClick(TLineListView& view, QPoint pos, bool press = true) {
    if (press)
        QTest::mousePress(view.viewport(), Qt::RightButton, {}, pos);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, pos, view.viewport()->mapToGlobal(pos));
    QApplication::sendEvent(view.viewport(), &menu);
    if (press)
        QTest::mouseRelease(view.viewport(), Qt::RightButton, {}, pos);
}

// Where the style puts a part of the line in this row: its box, its text...
QRect LinePart(TLineListView& view, int row, QStyle::SubElement part, bool box = true) {
    QStyleOptionViewItem opt;
    opt.initFrom(view.viewport());
    opt.rect = view.visualRect(view.model()->index(row, 0));
    opt.features = QStyleOptionViewItem::HasDisplay | QStyleOptionViewItem::HasDecoration;
    if (box)
        opt.features |= QStyleOptionViewItem::HasCheckIndicator;
    opt.decorationSize = QSize(16, 16);
    opt.text = view.model()->index(row, 0).data().toString();
    return view.style()->subElementRect(part, &opt, &view);
}

QRect CheckBoxRect(TLineListView& view, int row) {
    return LinePart(view, row, QStyle::SE_ItemViewItemCheckIndicator);
}

} // namespace

class TLineListViewTest : public QObject {
    Q_OBJECT
private slots:
    // Runs of inserts and removals of every size, inside and across blocks of rows.
    void RowsMatchAPlainVectorUnderRandomChanges() {
        TLineRows rows;
        TLines plain;
        std::mt19937 rng(7);
        for (int step = 0; step < 1500; ++step) {
            size_t at = rng() % (plain.size() + 1);
            if (rng() % 5 < 3 || plain.empty()) {
                TLines lines(rng() % 4 == 0 ? rng() % 3000 + 1 : rng() % 5 + 1);
                for (auto& n : lines)
                    n = PVirtualNode::Make();
                rows.Insert(at, lines);
                plain.insert(plain.begin() + at, lines.begin(), lines.end());
            } else {
                at = std::min(at, plain.size() - 1);
                size_t n = std::min(plain.size() - at, rng() % 3 ? 1 : size_t(rng() % 2000 + 1));
                rows.Erase(at, n);
                plain.erase(plain.begin() + at, plain.begin() + at + n);
            }
            QCOMPARE(rows.Size(), plain.size());
            for (size_t i = 0; i < plain.size(); i += 1 + rng() % 97)
                QVERIFY(rows.At(i) == plain[i]);
            QVERIFY(plain.empty() || rows.At(plain.size() - 1) == plain.back());
        }
    }

    // Lines inserted above and between two selected lines by another thread, while the
    // view refreshes: the list's selection and the view's still name those two lines.
    void SelectionStaysOnItsLinesWhileAnotherThreadInserts() {
        TVirtualTree list(TCheckType::CheckKindTwoState);
        TLines lines;
        for (int i = 0; i < 10; ++i)
            lines.push_back(list.AppendNode("/src/" + std::to_string(i)));
        TLineListView view(list, true, "lstCopyFrom", nullptr);
        QVERIFY(Show(view));
        QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, RowCenter(view, 3));
        QTest::mouseClick(view.viewport(), Qt::LeftButton, Qt::ControlModifier, RowCenter(view, 6));
        const TLines chosen = {lines[3], lines[6]};
        QCOMPARE(CoreSelection(list), chosen);

        std::atomic<bool> done{false};
        std::thread expander([&] {
            // As directory expansion does: files in front of each other after the
            // directory line, subdirectories after the newest line; a few in between.
            PVirtualNode last = lines[0];
            for (int i = 0; i < 1000; ++i)
                last = list.InsertNodeAfter(i % 250 == 249 ? lines[4]
                                            : i % 3        ? lines[0]
                                                           : last,
                                            "/src/0/" + std::to_string(i));
            done = true;
        });
        while (!done)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        expander.join();
        QCOMPARE(Rows(view, true), chosen); // before the view caught up, too
        view.LineModel()->Refresh();
        QCOMPARE(Rows(view), Lines(list));
        QCOMPARE(CoreSelection(list), chosen);
        QCOMPARE(Rows(view, true), chosen);

        // Shift-click from the current line over new lines selects the same in both.
        int row6 = list.Index(lines[6]);
        view.scrollTo(view.model()->index(row6, 0));
        QTest::mouseClick(view.viewport(), Qt::LeftButton, Qt::ShiftModifier,
                          RowCenter(view, row6 - 2));
        TLines now = CoreSelection(list);
        QCOMPARE(now, Rows(view, true));
        QVERIFY(std::find(now.begin(), now.end(), view.NodeOfRow(row6 - 1)) != now.end());
    }

    // The popup's commands act on the selected lines: by the time the popup is asked for,
    // the line under the pointer is selected; on a line of a selection, the whole stays.
    void RightClickSelectsTheLineUnderItBeforeThePopup() {
        TVirtualTree list;
        TLines lines;
        for (int i = 0; i < 6; ++i)
            lines.push_back(list.AppendNode("/dst/" + std::to_string(i), 1));
        TLineListView view(list, false, "lstCopyTo", nullptr);
        QVERIFY(Show(view));
        QCOMPARE(view.contextMenuPolicy(), Qt::CustomContextMenu);
        TLines core, shown;
        int popups = 0;
        connect(&view, &QWidget::customContextMenuRequested, &view, [&] {
            core = CoreSelection(list);
            shown = Rows(view, true);
            ++popups;
        });
        QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, RowCenter(view, 1));
        QTest::mouseClick(view.viewport(), Qt::LeftButton, Qt::ControlModifier, RowCenter(view, 2));
        RightClick(view, RowCenter(view, 2));
        QCOMPARE(core, (TLines{lines[1], lines[2]}));
        QCOMPARE(CoreSelection(list), core); // and after the button is let go
        RightClick(view, RowCenter(view, 4));
        QCOMPARE(core, TLines{lines[4]});
        QCOMPARE(shown, TLines{lines[4]});

        // Lines another thread inserted above are not shown yet: the right click selects
        // the line the user sees under the pointer, not the one now at that position.
        std::thread([&] { list.InsertNodeAfter(lines[0], "/dst/new"); }).join();
        QCOMPARE(view.indexAt(RowCenter(view, 5)).data().toString(), QString("/dst/5"));
        RightClick(view, RowCenter(view, 5), false);
        QCOMPARE(core, TLines{lines[5]});
        // Below the last line nothing changes, and the popup still opens.
        RightClick(view, QPoint(10, view.viewport()->height() - 2));
        QCOMPARE(core, TLines{lines[5]});
        QCOMPARE(popups, 4);
    }

    // Only source lines have a box, and a click on it asks for the line's Move mark to
    // change the other way; the destination list shows the root's indent; each status has
    // its own image, the same when selected.
    void CheckBoxesIndentAndImages() {
        TVirtualTree from(TCheckType::CheckKindTwoState), to;
        PVirtualNode src = from.AppendNode("/src/a", 4);
        PVirtualNode dst = to.AppendNode("/dst", 5);
        int checked = 0;
        TLineListView fromView(from, true, "lstCopyFrom", nullptr);
        TLineListView toView(to, false, "lstCopyTo", nullptr);
        // As the core does it.
        fromView.LineModel()->OnMoveMark = [&](const PVirtualNode& n, bool move) {
            checked += n == src;
            from.SetCheckMark(n,
                              move ? TCheckState::csCheckedNormal : TCheckState::csUncheckedNormal);
        };
        QVERIFY(Show(fromView) && Show(toView));
        QRect box = CheckBoxRect(fromView, 0);
        QTest::mouseClick(fromView.viewport(), Qt::LeftButton, {}, box.center());
        QCOMPARE(src->CheckMark.load(), TCheckState::csCheckedNormal);
        QCOMPARE(fromView.model()->index(0, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
        QTest::mouseClick(fromView.viewport(), Qt::LeftButton, {}, box.center());
        QCOMPARE(src->CheckMark.load(), TCheckState::csUncheckedNormal);
        QCOMPARE(checked, 2);
        QTest::mouseClick(fromView.viewport(), Qt::LeftButton, {}, box.center() + QPoint(60, 0));
        QCOMPARE(checked, 2); // beside the box: selects only
        QVERIFY(src->Selected());

        QTest::mouseClick(toView.viewport(), Qt::LeftButton, {}, box.center());
        QVERIFY(
            !toView.model()->setData(toView.model()->index(0, 0), Qt::Checked, Qt::CheckStateRole));
        QCOMPARE(dst->CheckMark.load(), TCheckState::csUncheckedNormal);
        QVERIFY(!toView.model()->index(0, 0).data(Qt::CheckStateRole).isValid());
        QVERIFY(toView.rootIsDecorated() && !fromView.rootIsDecorated());

        std::vector<QImage> seen;
        for (int status = 0; status < 8; ++status) {
            QImage normal = LineImage(status).pixmap(16, QIcon::Normal).toImage();
            QCOMPARE(LineImage(status).pixmap(16, QIcon::Selected).toImage(), normal);
            QCOMPARE(qAlpha(normal.pixel(0, 0)), 0);
            QVERIFY(std::find(seen.begin(), seen.end(), normal) == seen.end());
            seen.push_back(normal);
        }
        auto shown = [&] {
            return toView.model()->index(0, 0).data(Qt::DecorationRole).value<QIcon>().pixmap(16);
        };
        QCOMPARE(shown().toImage(), seen[5]);
        to.SetStatus(dst, 3);
        QCOMPARE(shown().toImage(), seen[3]);
    }

    // Every path is drawn whole in both lists, whatever its characters: the column grows
    // with the widest line as lines come and shrinks as they go, the list scrolls sideways
    // then, and each line's tooltip holds its whole path, markup-like names included.
    void PathsShowWholeAndInTheirTooltips() {
        const std::string paths[] = {
            "/data/" + std::string(60, 'W') + "/AVAVAV To.ttf",
            "/photos/caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac/\xd0\x96\xd0\xb8\xd0\xb7\xd0\xbd\xd1\x8c",
            "/nfd/e\xcc\x81"
            "e\xcc\x81"
            "e\xcc\x81 \xd8\xb3\xd9\x84\xd8\xa7\xd9\x85/byte\xff",
            "/tmp/<b>bold</b> & <i>x",
        };
        for (bool source : {true, false}) {
            TVirtualTree list(TCheckType::CheckKindTwoState);
            TLineListView view(list, source, "list", nullptr);
            QVERIFY(Show(view));
            const int margin = view.style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1;
            // Each kind of path the widest once, as it comes and as it goes.
            for (const std::string& path : paths) {
                list.AppendNode("/short");
                view.LineModel()->Refresh();
                QTRY_VERIFY(!view.horizontalScrollBar()->isVisible());
                std::string wide = path;
                while (view.fontMetrics().horizontalAdvance(ShownPath(wide)) < view.width())
                    wide += path;
                list.AppendNode(wide);
                view.LineModel()->Refresh();
                QTRY_VERIFY(view.horizontalScrollBar()->isVisible());

                for (int row = 0; row < 2; ++row) {
                    const QModelIndex index = view.model()->index(row, 0);
                    const QString text = index.data().toString();
                    const QRect room = LinePart(view, row, QStyle::SE_ItemViewItemText, source);
                    QVERIFY2(room.width() - 2 * margin >=
                                 view.fontMetrics().horizontalAdvance(text),
                             qPrintable(text));

                    const QPoint at = view.visualRect(index).center();
                    QHelpEvent tip(QEvent::ToolTip, at, view.viewport()->mapToGlobal(at));
                    QCoreApplication::sendEvent(view.viewport(), &tip);
                    QString shown = QToolTip::text();
                    if (Qt::mightBeRichText(shown)) {
                        QTextDocument doc;
                        doc.setHtml(shown);
                        shown = doc.toPlainText();
                    }
                    QCOMPARE(shown, text);
                    QToolTip::hideText();
                }
                // A failed line says why under its path, until it is copied after all.
                const QPoint first = view.visualRect(view.model()->index(0, 0)).center();
                auto tipOfFirst = [&] {
                    QHelpEvent tip(QEvent::ToolTip, first, view.viewport()->mapToGlobal(first));
                    QCoreApplication::sendEvent(view.viewport(), &tip);
                    const QString shown = QToolTip::text();
                    QToolTip::hideText();
                    return shown;
                };
                list.FirstNode()->Data.SetNote("Failed 14:02:11: Permission denied");
                QCOMPARE(tipOfFirst(), QString("/short\nFailed 14:02:11: Permission denied"));
                list.FirstNode()->Data.ClearNote();
                QCOMPARE(tipOfFirst(), QString("/short"));
                list.RemoveNode(list.LastNode());
                view.LineModel()->Refresh();
                QTRY_VERIFY(!view.horizontalScrollBar()->isVisible());
                list.RemoveAllNodes();
            }
        }
    }

    // Another thread removes and inserts lines until the view has refreshed twenty times
    // meanwhile. Until a refresh a row shows the line it was announced for; after it, every
    // row is the list's line at that place, never a removed line's neighbour. A batch only
    // shows once it ends, even when a change was flagged just before it.
    void RowsAreTheListsLinesAfterEachRefresh() {
        TVirtualTree list;
        for (int i = 0; i < 2000; ++i)
            list.AppendNode("/line/" + std::to_string(i));
        TLineListView view(list, false, "lstCopyTo", nullptr);
        QVERIFY(Show(view));
        list.RemoveNode(view.NodeOfRow(5));
        QCOMPARE(view.model()->index(5, 0).data().toString(), QString("/line/5"));
        view.LineModel()->Refresh();
        QCOMPARE(view.model()->index(5, 0).data().toString(), QString("/line/6"));

        list.SetStatus(list.FirstNode(), 3);
        list.BeginBatch();
        list.AppendNode("/batch");
        view.LineModel()->Refresh();
        QCOMPARE(view.model()->rowCount(), 1999);
        list.EndBatch();
        QTRY_COMPARE(view.model()->rowCount(), 2000);

        std::atomic<int> refreshes{0};
        connect(view.LineModel(), &TLineListModel::LinesChanged, &view, [&] { ++refreshes; });
        std::atomic<bool> done{false};
        std::thread changer([&] {
            std::mt19937 rng(99);
            for (int step = 0; refreshes < 20; ++step) {
                PVirtualNode at = list.NodeAt(rng() % std::max(1u, list.RootNodeCount()));
                if (rng() % 2 || !at)
                    list.InsertNodeAfter(at, "/new/" + std::to_string(step));
                else
                    list.RemoveNode(at);
            }
            done = true;
        });
        while (!done)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        changer.join();
        view.LineModel()->Refresh();
        QCOMPARE(Rows(view), Lines(list));
    }

    // The list goes first (a window closing in the wrong order): a detached view keeps
    // painting the lines it holds and never reaches the list. Views also come and go
    // while another thread keeps changing their list.
    void ViewsNeverTouchAListAfterDetachOrDestruction() {
        auto list = std::make_unique<TVirtualTree>(TCheckType::CheckKindTwoState);
        for (int i = 0; i < 100; ++i)
            list->AppendNode("/x/" + std::to_string(i), i % 8);
        auto view = std::make_unique<TLineListView>(*list, true, "lstCopyFrom", nullptr);
        QVERIFY(Show(*view));
        view->selectAll();
        view->Detach();
        list.reset();
        view->grab();
        view->LineModel()->Refresh();
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, RowCenter(*view, 0));
        QCOMPARE(view->model()->rowCount(), 100);
        view.reset();

        TVirtualTree busy;
        std::atomic<bool> stop{false};
        std::thread changer([&] {
            for (int i = 0; !stop; ++i) {
                busy.SetStatus(busy.InsertNodeAfter(busy.NodeAt(i % 700), "/y"), i % 8);
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

    // Not a timed test: prints what 100,000 lines cost to show, scroll, select and refresh
    // after a burst of scattered inserts, and checks that each did its job.
    void HundredThousandLinesStayFast() {
        TVirtualTree list(TCheckType::CheckKindTwoState);
        for (int i = 0; i < 100000; ++i)
            list.AppendNode("/home/user/photos/IMG_" + std::to_string(i) + ".jpg", i % 8);
        QElapsedTimer clock;
        clock.start();
        TLineListView view(list, true, "lstCopyFrom", nullptr);
        QVERIFY(Show(view));
        view.repaint();
        qint64 shown = clock.restart();
        for (int step = 0; step <= 20; ++step) {
            view.verticalScrollBar()->setValue(view.verticalScrollBar()->maximum() * step / 20);
            view.viewport()->repaint();
        }
        qint64 scrolled = clock.restart();
        QVERIFY(view.indexAt(QPoint(5, view.viewport()->height() - 5)).row() > 99900);
        view.selectAll();
        view.viewport()->repaint();
        qint64 selected = clock.restart();
        QVERIFY(list.NodeAt(1)->Selected() && list.LastNode()->Selected());
        view.clearSelection();
        QCOMPARE(list.FirstSelectedNode(), nullptr);

        // A selection of 2,000 ranges and the current line survive 1,000 scattered inserts.
        for (int row = 0; row < 100000; row += 50)
            view.selectionModel()->select(view.model()->index(row, 0), QItemSelectionModel::Select);
        view.selectionModel()->setCurrentIndex(view.model()->index(99950, 0),
                                               QItemSelectionModel::NoUpdate);
        PVirtualNode current = view.NodeOfRow(99950);
        for (int i = 0; i < 1000; ++i)
            list.InsertNodeAfter(list.NodeAt(i * 97), "/new");
        clock.restart();
        view.LineModel()->Refresh();
        view.viewport()->repaint();
        qint64 refreshed = clock.restart();
        QCOMPARE(Rows(view, true), CoreSelection(list));
        QCOMPARE(CoreSelection(list).size(), size_t(2000));
        QCOMPARE(view.NodeOfRow(view.currentIndex().row()), current);
        qInfo("100,000 lines: shown %lld ms, scrolled first to last in 20 steps %lld ms, select"
              " all %lld ms, 1,000 scattered inserts with 2,000 ranges selected %lld ms",
              shown, scrolled, selected, refreshed);
    }
};

QTEST_MAIN(TLineListViewTest)
#include "LineListViewTest.moc"
