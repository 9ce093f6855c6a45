// Filling and editing the queue through the real window: the dialog buttons with their
// seams, drops through the views' own drop handling, the popup items through their
// actions and the list keys, each checked in the lists and in the saved queue file.
#include "WindowHelpers.h"
#include "diag/Trace.h"
#include "persist/IniFile.h"
#include "platform/Event.h"
#include "platform/SettingsDir.h"
#include "support/ListHelpers.h"
#include "support/SavedQueue.h"
#include "support/TestSupport.h"
#include "ui/common/FerroxApplication.h"
#include "ui/common/FileDialogs.h"
#include "ui/common/PathText.h"
#include "ui/lists/LineListModel.h"
#include "ui/lists/LineListView.h"
#include "ui/modMain/frmMain.h"

#include <QClipboard>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QtTest>

#include <memory>
#include <optional>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ferrox;
using namespace ferrox::test;

// How QCOMPARE shows a queue file's pairs; found beside their type.
namespace ferrox::test {
char* toString(const TSaved& queue) {
    QByteArray text;
    for (const TSavedLine& l : queue)
        text += QByteArray::fromStdString("{" + l.From + " -> " + l.To + (l.Done ? " done" : "") +
                                          (l.Move ? " move" : "") + "} ");
    return qstrdup(text.constData());
}
} // namespace ferrox::test

namespace {

using TStrings = std::vector<std::string>;
using TInts = std::vector<int32_t>;

// A text/uri-list as file managers write it: every byte outside the unreserved set
// escaped, so a name that is not UTF-8 travels exactly.
QByteArray UriList(const TStrings& entries) {
    QByteArray out;
    for (const std::string& entry : entries) {
        if (entry.rfind("/", 0) != 0) { // not a path: taken as it stands
            out += QByteArray::fromStdString(entry) + "\r\n";
            continue;
        }
        out += "file://";
        for (unsigned char c : entry) {
            if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~')
                out += char(c);
            else
                out += '%' + QByteArray::number(c, 16).rightJustified(2, '0').toUpper();
        }
        out += "\r\n";
    }
    return out;
}

} // namespace

class TFillAndEditTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TTempDir> dir_;
    std::unique_ptr<TWorkingDirectory> cwd_;

    std::string P(const std::string& name) const { return *dir_ / name; }
    std::string QueueFile() const { return P("prog/QUEUE.INI"); }

    static TLineListView* View(TfrmMain& w, const char* name) {
        return Find<TLineListView>(w, name);
    }
    // The view's rows are the list's lines now (it refreshes on its own, a little later).
    static bool Shows(TfrmMain& w, const char* name) {
        TLineListView* view = View(w, name);
        const TVirtualTree& list = *view->LineModel()->List();
        int row = 0;
        for (PVirtualNode n = list.FirstNode(); n; n = list.NextNode(n), ++row)
            if (view->NodeOfRow(row) != n)
                return false;
        return row == view->model()->rowCount();
    }
    static void Click(TfrmMain& w, const char* button) {
        QTest::mouseClick(Find<QPushButton>(w, button), Qt::LeftButton);
    }
    static void Trigger(TfrmMain& w, const char* action) { Find<QAction>(w, action)->trigger(); }
    // Selects rows as the user does, through the view; the lines keep the selection.
    static void Select(TfrmMain& w, const char* list, std::initializer_list<int> rows) {
        TLineListView* view = View(w, list);
        QItemSelection selection;
        for (int row : rows)
            selection.select(view->model()->index(row, 0), view->model()->index(row, 0));
        view->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect |
                                                      QItemSelectionModel::Rows);
    }
    // A drop through the view's own handling; what it answered the file manager.
    static Qt::DropAction Drop(TLineListView* view, const QByteArray& uriList,
                               Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QMimeData data;
        data.setData("text/uri-list", uriList);
        const QPoint pos = view->viewport()->rect().center();
        const Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
        QDragEnterEvent enter(pos, offered, &data, Qt::LeftButton, modifiers);
        QCoreApplication::sendEvent(view->viewport(), &enter);
        QDropEvent drop(pos, offered, &data, Qt::LeftButton, modifiers);
        QCoreApplication::sendEvent(view->viewport(), &drop);
        return drop.isAccepted() ? drop.dropAction() : Qt::IgnoreAction;
    }

private slots:
    void initTestCase() {
        dir_ = std::make_unique<TTempDir>();
        // Queue backups land in the working directory.
        cwd_ = std::make_unique<TWorkingDirectory>(dir_->Path());
    }
    void cleanupTestCase() {
        cwd_.reset();
        dir_.reset();
    }
    void init() {
        for (const char* d : {"prog", "src", "out", "out2"}) {
            RemoveTree(P(d));
            MakeDir(P(d));
        }
        for (const char* f : {"a", "b", "c"})
            WriteFile(P("src/") + f, f);
        SetSettingsDirForTesting(P("prog"));
    }

    void SelectFilesAndSelectDirButtonsFillBothListsAndSave() {
        TfrmMain w;
        TCopyQueue& q = w.Core().PartsForTesting().Queue;
        auto files = [this](TStrings names) {
            QStringList list;
            for (const std::string& name : names)
                list << QString::fromStdString(P("src/" + name));
            FileDialogs::SetNextOpenFileNames(list);
        };
        files({"b"});
        Click(w, "btnSelFiles");
        FileDialogs::SetNextDirectory(QString::fromStdString(P("out")));
        Click(w, "btnSelDir2");
        QCOMPARE(FileDialogs::LastProposed(), QString());
        QCOMPARE(Paths(q.lstCopyTo), (TStrings{P("out")}));

        // Three files in the dialog's order, one of them for the second time.
        files({"c", "a", "b"});
        Click(w, "btnSelFiles");
        QCOMPARE(Paths(q.lstCopyFrom), (TStrings{P("src/b"), P("src/c"), P("src/a"), P("src/b")}));
        QCOMPARE(Statuses(q.lstCopyFrom), (TInts{0, 0, 0, 0}));
        QCOMPARE(ReadSavedQueue(QueueFile()).size(), size_t(4));

        // A cancel adds nothing and still saves.
        ::unlink(QueueFile().c_str());
        FileDialogs::SetNextOpenFileNames({});
        Click(w, "btnSelFiles");
        QCOMPARE(q.lstCopyFrom.RootNodeCount(), 4u);
        QCOMPARE(ReadSavedQueue(QueueFile()).size(), size_t(4));

        // Four sources, one destination: three more, starting at the last folder chosen.
        FileDialogs::SetNextDirectory(QString::fromStdString(P("out2")));
        Click(w, "btnSelDir2");
        QCOMPARE(FileDialogs::LastProposed(), QString::fromStdString(P("out")));
        QCOMPARE(Paths(q.lstCopyTo), (TStrings{P("out"), P("out2"), P("out2"), P("out2")}));
        QCOMPARE(Statuses(q.lstCopyTo), (TInts{1, 1, 1, 1}));

        // A source folder: a directory line, and where the next browse starts.
        FileDialogs::SetNextDirectory(QString::fromStdString(P("src")));
        Click(w, "btnSelDir1");
        FileDialogs::SetNextDirectory({}); // cancelled
        Click(w, "btnSelDir1");
        QCOMPARE(FileDialogs::LastProposed(), QString::fromStdString(P("src")));
        QCOMPARE(q.lstCopyFrom.RootNodeCount(), 5u);
        QCOMPARE(ReadSavedQueue(QueueFile()), (TSaved{{"F:" + P("src/b"), P("out")},
                                                      {"F:" + P("src/c"), P("out2")},
                                                      {"F:" + P("src/a"), P("out2")},
                                                      {"F:" + P("src/b"), P("out2")},
                                                      {"D:" + P("src"), ""}}));
        QTRY_VERIFY(Shows(w, "lstCopyFrom"));
        QTRY_VERIFY(Shows(w, "lstCopyTo"));
        QVERIFY(TraceEntries().empty());
    }

    void DropsAddFoldersAndFilesAsCopiesAndPadTheDestinations() {
        MakeDir(P("src/d1"));
        MakeDir(P("src/d2"));
        TfrmMain w;
        TCopyQueue& q = w.Core().PartsForTesting().Queue;
        TLineListView* from = View(w, "lstCopyFrom");
        TLineListView* to = View(w, "lstCopyTo");

        // Whatever the file manager proposes (Shift asks for a move), it is told to copy.
        const QByteArray sources =
            UriList({P("src/d1"), "http://example.org/x", P("src/a"), "# a comment", P("src/d2")});
        QCOMPARE(Drop(from, sources, Qt::ShiftModifier), Qt::CopyAction);
        QTRY_COMPARE(q.lstCopyFrom.RootNodeCount(), 3u);
        QCOMPARE(Paths(q.lstCopyFrom), (TStrings{P("src/d1"), P("src/a"), P("src/d2")}));
        QCOMPARE(Statuses(q.lstCopyFrom), (TInts{1, 0, 1}));
        QCOMPARE(q.lstCopyTo.RootNodeCount(), 0u);
        QVERIFY(Exists(P("src/a")));
        // What could not be queued is named, not left out without a word.
        const QString onlyLocal = "Only local files and folders can be queued, not ";
        QCOMPARE(w.StatusText(), onlyLocal + "[http://example.org/x]");
        // Nothing of ours to take: refused, so the file manager shows it, and told.
        QCOMPARE(Drop(from, UriList({"sftp://host/y", "smb://server/z"})), Qt::IgnoreAction);
        QTRY_COMPARE(w.StatusText(), onlyLocal + "[sftp://host/y] and 1 more");
        QCOMPARE(q.lstCopyFrom.RootNodeCount(), 3u);

        // A fourth source, one destination; a folder dropped on the destinations goes
        // after it, and the rest are padded with it.
        q.AddItem(q.lstCopyFrom, P("src/b"), false, lsFileWaiting);
        q.AddItem(q.lstCopyTo, P("out"), false, lsDirWaiting);
        QCOMPARE(Drop(to, UriList({P("out2")})), Qt::CopyAction);
        QTRY_COMPARE(q.lstCopyTo.RootNodeCount(), 4u);
        QCOMPARE(Paths(q.lstCopyTo), (TStrings{P("out"), P("out2"), P("out2"), P("out2")}));

        // A file alone on the destinations adds no line, and still pads.
        q.AddItem(q.lstCopyFrom, P("src/c"), false, lsFileWaiting);
        QCOMPARE(Drop(to, UriList({P("src/c")})), Qt::CopyAction);
        QTRY_COMPARE(q.lstCopyTo.RootNodeCount(), 5u);
        QCOMPARE(q.lstCopyTo.LastNode()->Data.Path, P("out2"));
        QCOMPARE(ReadSavedQueue(QueueFile()), (TSaved{{"D:" + P("src/d1"), P("out")},
                                                      {"F:" + P("src/a"), P("out2")},
                                                      {"D:" + P("src/d2"), P("out2")},
                                                      {"F:" + P("src/b"), P("out2")},
                                                      {"F:" + P("src/c"), P("out2")}}));
        QTRY_VERIFY(Shows(w, "lstCopyTo"));
    }

    // Ctrl+V takes what a file manager copied, in each form it is offered, exactly as a
    // drop: folders and files on the source list, folders alone (then padding) on the
    // destination list, saved. A cut is taken as a copy: its files stay where they are.
    void PasteOnBothListsInEachClipboardForm() {
        MakeDir(P("src/d1"));
        TfrmMain w;
        TCopyQueue& q = w.Core().PartsForTesting().Queue;
        QByteArray lines = UriList({P("src/d1"), P("src/a")});
        const QByteArray uriList = lines;
        lines.replace("\r\n", "\n");
        const std::pair<const char*, QByteArray> forms[] = {
            {"text/uri-list", uriList},
            {"x-special/gnome-copied-files", "copy\n" + lines},
            {"x-special/gnome-copied-files", "cut\n" + lines.chopped(1)},
        };
        TStrings from, to;
        for (const auto& [type, data] : forms) {
            auto* copied = new QMimeData;
            copied->setData(type, data);
            QGuiApplication::clipboard()->setMimeData(copied);
            QTest::keyClick(View(w, "lstCopyFrom"), Qt::Key_V, Qt::ControlModifier);
            QTest::keyClick(View(w, "lstCopyTo"), Qt::Key_V, Qt::ControlModifier);
            from.insert(from.end(), {P("src/d1"), P("src/a")});
            to.resize(from.size(), P("src/d1"));
            QCOMPARE(Paths(q.lstCopyFrom), from);
            QCOMPARE(Paths(q.lstCopyTo), to);
        }
        QCOMPARE(Statuses(q.lstCopyFrom), (TInts{1, 0, 1, 0, 1, 0}));
        QCOMPARE(ReadSavedQueue(QueueFile()).size(), size_t(6));
        QCOMPARE(ReadSavedQueue(QueueFile()).back(), (TSavedLine{"F:" + P("src/a"), P("src/d1")}));
        QVERIFY(Exists(P("src/a")));
    }

    // Ctrl+C puts the selected lines on the clipboard for a file manager (URLs that keep
    // every byte of the names) and for text (the paths as the list shows them).
    void CopyPutsTheSelectedLinesOnTheClipboard() {
        const std::string odd = P("src/\xff caf\xc3\xa9 #1%");
        WriteFile(QueueFile(), SavedQueueText({{"F:" + P("src/a"), P("out")},
                                               {"F:" + odd, P("out2")},
                                               {"F:" + P("src/c"), P("out")}}));
        TfrmMain w;
        QTRY_VERIFY(Shows(w, "lstCopyFrom"));
        QTRY_VERIFY(Shows(w, "lstCopyTo"));
        Select(w, "lstCopyFrom", {2, 1});
        QTest::keyClick(View(w, "lstCopyFrom"), Qt::Key_C, Qt::ControlModifier);
        const QMimeData* copied = QGuiApplication::clipboard()->mimeData();
        QCOMPARE(copied->data("text/uri-list"), UriList({odd, P("src/c")}));
        QCOMPARE(copied->text(), ShownPath(odd) + "\n" + ShownPath(P("src/c")));

        Select(w, "lstCopyTo", {1});
        QTest::keyClick(View(w, "lstCopyTo"), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), ShownPath(P("out2")));
        // Nothing selected: the clipboard keeps what it holds.
        View(w, "lstCopyTo")->clearSelection();
        QTest::keyClick(View(w, "lstCopyTo"), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), ShownPath(P("out2")));
    }

    // A name that is not UTF-8 in a path of 300 bytes: the line, the saved file and the
    // copy all name the very file that was dropped.
    void ADroppedPathKeepsEveryByte() {
        std::string deep = P("src/") + std::string(150, 'd');
        if (deep.size() > 280)
            QSKIP("the temporary directory's path is too long");
        MakeDir(deep);
        std::string path = deep + "/" + "\xff\xfe-\xe9t\xe9-";
        path += std::string(300 - path.size(), 'n');
        QCOMPARE(path.size(), size_t(300));
        WriteFile(path, "odd");
        TfrmMain w;
        TCopyQueue& q = w.Core().PartsForTesting().Queue;
        QCOMPARE(Drop(View(w, "lstCopyFrom"), UriList({path})), Qt::CopyAction);
        QTRY_COMPARE(q.lstCopyFrom.RootNodeCount(), 1u);
        QCOMPARE(q.lstCopyFrom.FirstNode()->Data.Path, path);
        QCOMPARE(Drop(View(w, "lstCopyTo"), UriList({P("out")})), Qt::CopyAction);
        QTRY_COMPARE(q.lstCopyTo.RootNodeCount(), 1u);
        QCOMPARE(ReadSavedQueue(QueueFile()), (TSaved{{"F:" + path, P("out")}}));

        Click(w, "btnCopyNow");
        QTRY_COMPARE(q.lstCopyFrom.FirstNode()->Data.Status.load(), lsFileDone);
        QCOMPARE(ReadFile(P("out/") + path.substr(deep.size() + 1)), std::string("odd"));
    }

    // Each item through its action, idle: what it does to the lines and to the file.
    void PopupItemsWhenIdle() {
        WriteFile(QueueFile(), SavedQueueText({{"F:" + P("src/a"), P("out"), true},
                                               {"F:" + P("src/b"), P("out")},
                                               {"F:" + P("src/c"), P("out2"), true},
                                               {"F:" + P("src/x"), P("out2")}}));
        TfrmMain w;
        TCopyQueue& q = w.Core().PartsForTesting().Queue;
        QTRY_VERIFY(Shows(w, "lstCopyFrom"));

        Select(w, "lstCopyFrom", {0, 1, 3});
        Trigger(w, "mnupopFromMoveEnable");
        QCOMPARE(ReadSavedQueue(QueueFile())[0].Move, true); // saved as every change is
        Select(w, "lstCopyFrom", {1});
        Trigger(w, "mnupopFromMoveDisable");
        // A click on a box marks its own line only, and is saved too.
        QAbstractItemModel* fromRows = Find<TLineListView>(w, "lstCopyFrom")->model();
        QVERIFY(fromRows->setData(fromRows->index(2, 0), Qt::Checked, Qt::CheckStateRole));
        QCOMPARE(ReadSavedQueue(QueueFile())[2].Move, true);
        Select(w, "lstCopyFrom", {0, 1});
        Trigger(w, "mnupopFromResetCopyStatus");
        QCOMPARE(Statuses(q.lstCopyFrom), (TInts{lsFileWaiting, lsFileWaiting, lsFileDone, 0}));
        QCOMPARE(ReadSavedQueue(QueueFile()),
                 (TSaved{{"F:" + P("src/a"), P("out"), false, true},
                         {"F:" + P("src/b"), P("out")},
                         {"F:" + P("src/c"), P("out2"), true, true},
                         {"F:" + P("src/x"), P("out2"), false, true}}));

        Trigger(w, "mnupopFromClearCompleted");
        QCOMPARE(Paths(q.lstCopyFrom), (TStrings{P("src/a"), P("src/b"), P("src/x")}));
        QCOMPARE(Paths(q.lstCopyTo), (TStrings{P("out"), P("out"), P("out2")}));

        // Only the selected line goes, however the rows shifted before.
        QTRY_VERIFY(Shows(w, "lstCopyFrom"));
        Select(w, "lstCopyFrom", {1});
        Trigger(w, "mnupopFromDelFromLine");
        QCOMPARE(Paths(q.lstCopyFrom), (TStrings{P("src/a"), P("src/x")}));
        QCOMPARE(ReadSavedQueue(QueueFile()), (TSaved{{"F:" + P("src/a"), P("out"), false, true},
                                                      {"F:" + P("src/x"), P("out"), false, true}}));
        QTRY_VERIFY(Shows(w, "lstCopyFrom"));
        Select(w, "lstCopyFrom", {0});
        Trigger(w, "mnupopFromDelFullLine");
        QCOMPARE(ReadSavedQueue(QueueFile()), (TSaved{{"F:" + P("src/x"), P("out"), false, true}}));
        QTRY_VERIFY(Shows(w, "lstCopyTo"));
        Select(w, "lstCopyTo", {0});
        Trigger(w, "mnupopToDelLine");
        QCOMPARE(Paths(q.lstCopyTo), (TStrings{P("out2")}));

        // "&Copy this Line Now" copies the selected line alone, to its own destination.
        q.AddItem(q.lstCopyFrom, P("src/b"), false, lsFileWaiting);
        q.AddItem(q.lstCopyTo, P("out"), false, lsDirWaiting);
        QTRY_VERIFY(Shows(w, "lstCopyFrom"));
        Select(w, "lstCopyFrom", {1});
        Trigger(w, "mnupopFromCopythisLine");
        QTRY_COMPARE(Find<QPushButton>(w, "btnCopyNow")->text(), QString("Copy NOW"));
        QCOMPARE(Statuses(q.lstCopyFrom), (TInts{lsFileWaiting, lsFileDone}));
        QVERIFY(Exists(P("out/b")));
        QVERIFY(!Exists(P("out2/x")));

        Trigger(w, "mnupopToClear");
        QCOMPARE(q.lstCopyTo.RootNodeCount(), 0u);
        Trigger(w, "mnupopFromClear");
        QCOMPARE(q.lstCopyFrom.RootNodeCount(), 0u);
        QVERIFY(!Exists(QueueFile())); // an empty queue leaves no file
        Trigger(w, "mnupopFromClearCompleted");
        QTRY_COMPARE(w.StatusText(), QString("Nothing to Check?"));
        QVERIFY(TraceEntries().empty());
    }

    // The guarded items while a run holds a file in progress (held there by the run's
    // seam), and the run going on with the right pairs afterwards.
    void PopupItemsDuringARun() {
        WriteFile(P("src/held"), std::string(1 << 20, 'x'));
        WriteFile(QueueFile(), SavedQueueText({{"F:" + P("src/a"), P("out")},
                                               {"F:" + P("src/held"), P("out")},
                                               {"F:" + P("src/b"), P("out2")},
                                               {"F:" + P("src/c"), P("out2")}}));
        const std::string queue = ReadFile(QueueFile());
        // Before the window: the run's worker uses them until the window is gone.
        TEvent held, release;
        TfrmMain w;
        TFerroxCore& core = w.Core();
        TCopyQueue& q = core.PartsForTesting().Queue;
        core.PartsForTesting().Run.Seams.OnRunPoint = [&](TRunPoint point,
                                                          const std::string& path) {
            if (point == TRunPoint::LineTaken && path == P("src/held")) {
                held.Set();
                release.Wait();
            }
        };
        struct TRelease {
            TEvent& e;
            ~TRelease() { e.Set(); }
        } releaseAtEnd{release};
        QTRY_VERIFY(Shows(w, "lstCopyFrom"));
        QTRY_VERIFY(Shows(w, "lstCopyTo"));
        Click(w, "btnCopyNow");
        QVERIFY(held.WaitFor(std::chrono::seconds(30)));
        QCOMPARE(Statuses(q.lstCopyFrom), (TInts{lsFileDone, lsFileCopying, 0, 0}));

        Trigger(w, "mnupopFromClear");
        QTRY_COMPARE(w.StatusText(),
                     QString("You cannot clear this list while the copy is running"));
        Trigger(w, "mnupopToClear");
        QCOMPARE(q.lstCopyFrom.RootNodeCount(), 4u);
        QCOMPARE(q.lstCopyTo.RootNodeCount(), 4u);
        QCOMPARE(ReadFile(QueueFile()), queue);

        // The line in progress stays, the other selected one goes with its destination.
        Select(w, "lstCopyFrom", {1, 3});
        Trigger(w, "mnupopFromDelFullLine");
        QTRY_COMPARE(w.StatusText(), QString("You cannot delete a line while the copy is running"));
        QCOMPARE(Paths(q.lstCopyFrom), (TStrings{P("src/a"), P("src/held"), P("src/b")}));
        QCOMPARE(Paths(q.lstCopyTo), (TStrings{P("out"), P("out"), P("out2")}));
        QTRY_VERIFY(Shows(w, "lstCopyTo"));
        Select(w, "lstCopyTo", {1});
        QTest::keyClick(View(w, "lstCopyTo"), Qt::Key_Delete);
        QCOMPARE(q.lstCopyTo.RootNodeCount(), 3u);

        // Nothing starts beside the run.
        QTRY_VERIFY(Shows(w, "lstCopyFrom"));
        Select(w, "lstCopyFrom", {2});
        Trigger(w, "mnupopFromCopythisLine");
        QVERIFY(!core.PartsForTesting().Run.CopyThisLineOnly.load());

        // The finished line leaves with its destination; the run goes on with b -> out2.
        Trigger(w, "mnupopFromClearCompleted");
        QCOMPARE(Paths(q.lstCopyFrom), (TStrings{P("src/held"), P("src/b")}));
        QCOMPARE(Paths(q.lstCopyTo), (TStrings{P("out"), P("out2")}));
        QCOMPARE(ReadSavedQueue(QueueFile()),
                 (TSaved{{"F:" + P("src/held"), P("out")}, {"F:" + P("src/b"), P("out2")}}));
        release.Set();
        QTRY_COMPARE_WITH_TIMEOUT(Find<QPushButton>(w, "btnCopyNow")->text(), QString("Copy NOW"),
                                  30000);
        core.PartsForTesting().Run.Seams.OnRunPoint = nullptr;
        QCOMPARE(Statuses(q.lstCopyFrom), (TInts{lsFileDone, lsFileDone}));
        QCOMPARE(ReadFile(P("out2/b")), std::string("b"));
        QCOMPARE(ReadFile(P("out/held")).size(), size_t(1) << 20);
        QVERIFY(!Exists(P("out2/c")));
        QVERIFY(TraceEntries().empty());
    }

    void DeleteKeyAndContextMenuKeyOnEachList() {
        WriteFile(QueueFile(), SavedQueueText({{"F:" + P("src/a"), P("out")},
                                               {"F:" + P("src/b"), P("out")},
                                               {"F:" + P("src/c"), P("out2")}}));
        TfrmMain w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        TCopyQueue& q = w.Core().PartsForTesting().Queue;
        TLineListView* from = View(w, "lstCopyFrom");
        TLineListView* to = View(w, "lstCopyTo");
        QTRY_VERIFY(Shows(w, "lstCopyFrom"));
        QTRY_VERIFY(Shows(w, "lstCopyTo"));

        // On the source list, the whole line.
        from->setFocus();
        Select(w, "lstCopyFrom", {1});
        QTest::keyClick(from, Qt::Key_Delete);
        QCOMPARE(Paths(q.lstCopyFrom), (TStrings{P("src/a"), P("src/c")}));
        QCOMPARE(Paths(q.lstCopyTo), (TStrings{P("out"), P("out2")}));
        // On the destination list, the destination alone.
        QTRY_VERIFY(Shows(w, "lstCopyTo"));
        Select(w, "lstCopyTo", {0});
        QTest::keyClick(to, Qt::Key_Delete);
        QCOMPARE(ReadSavedQueue(QueueFile()),
                 (TSaved{{"F:" + P("src/a"), P("out2")}, {"F:" + P("src/c"), ""}}));

        // The context-menu key opens each list's popup at its current line.
        for (auto [view, menuName] : {std::pair{from, "mnupopFrom"}, std::pair{to, "mnupopTo"}}) {
            QTRY_VERIFY(Shows(w, view->objectName().toLatin1().constData()));
            const QModelIndex last = view->model()->index(view->model()->rowCount() - 1, 0);
            view->setCurrentIndex(last);
            QContextMenuEvent key(QContextMenuEvent::Keyboard, QPoint(0, 0),
                                  view->mapToGlobal(QPoint(0, 0)));
            QCoreApplication::sendEvent(view, &key);
            auto* menu = Find<QMenu>(w, menuName);
            QTRY_VERIFY(menu->isVisible());
            const QRect line = view->visualRect(last);
            const QPoint at = view->viewport()->mapFromGlobal(menu->pos());
            QVERIFY2(at.y() >= line.top() && at.y() <= line.bottom() + 1, menuName);
            menu->close();
        }
    }

    // A drop and a command that arrive while a queue load is under way wait for it, and
    // then act on the loaded queue, in the order they came.
    void CommandsDuringAQueueLoadWaitForIt() {
        const std::string other = P("other.ini");
        WriteFile(other,
                  SavedQueueText({{"F:" + P("src/a"), P("out")}, {"F:" + P("src/b"), P("out")}}));
        TEvent held{false}, release{false};
        const std::thread::id windowThread = std::this_thread::get_id();
        TfrmMain w;
        TCopyQueue& q = w.Core().PartsForTesting().Queue;
        q.AddItem(q.lstCopyFrom, P("src/c"), false, lsFileWaiting);
        // The load empties the lists, then the status line, on its own thread before it
        // fills them: held there, the queue is half loaded.
        q.StatusLine.SetSink([&](const std::string& text, TStatusKind) {
            if (text.empty() && std::this_thread::get_id() != windowThread && !held.IsSet()) {
                held.Set();
                release.Wait();
            }
        });
        std::optional<TLoadResult> loaded;
        w.Core().LoadQueueFrom(other, [&](TLoadResult result) { loaded = result; });
        QVERIFY(held.WaitFor(std::chrono::seconds(30)));
        QCOMPARE(Drop(View(w, "lstCopyFrom"), UriList({P("src/c")})), Qt::CopyAction);
        Trigger(w, "mnupopToClear");
        QCoreApplication::processEvents();
        QCOMPARE(q.lstCopyFrom.RootNodeCount() + q.lstCopyTo.RootNodeCount(), 0u);
        release.Set();
        QTRY_VERIFY(loaded.has_value());
        QCOMPARE(*loaded, TLoadResult::Loaded);
        // In the order they came, on the loaded lines.
        QCOMPARE(Paths(q.lstCopyFrom), (TStrings{P("src/a"), P("src/b"), P("src/c")}));
        QCOMPARE(q.lstCopyTo.RootNodeCount(), 0u);
        QCOMPARE(
            ReadSavedQueue(other),
            (TSaved{{"F:" + P("src/a"), ""}, {"F:" + P("src/b"), ""}, {"F:" + P("src/c"), ""}}));
    }
};

int main(int argc, char** argv) {
    TFerroxApplication app(argc, argv);
    TFillAndEditTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "FillAndEditTest.moc"
