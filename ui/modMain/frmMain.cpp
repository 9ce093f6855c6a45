#include "ui/modMain/frmMain.h"

#include "ui/LineListModel.h"

#include <QHeaderView>
#include <QLabel>
#include <QSplitter>
#include <QStatusBar>
#include <QTreeView>
#include <QVBoxLayout>

namespace ferrox {

namespace {
QTreeView* MakeList(const char* name, TLineListModel* model, QWidget* parent) {
    auto* view = new QTreeView(parent);
    view->setObjectName(name);
    view->setModel(model);
    view->setHeaderHidden(true);
    view->setRootIsDecorated(false);
    view->setUniformRowHeights(true); // keeps long lists cheap to lay out
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    return view;
}
} // namespace

TfrmMain::TfrmMain(QWidget* parent) : QMainWindow(parent) {
    setObjectName("frmMain");
    setWindowTitle("Ferrox");
    resize(594, 562);

    fromModel_ = new TLineListModel(Queue.lstCopyFrom, this);
    toModel_ = new TLineListModel(Queue.lstCopyTo, this);

    // Each list with its caption above it, so the captions follow the splitter.
    auto* splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setObjectName("Splitter");
    auto addSide = [&](const char* labelName, const char* caption, QTreeView*& list,
                       const char* listName, TLineListModel* model) {
        auto* side = new QWidget(splitter);
        auto* layout = new QVBoxLayout(side);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(2);
        auto* label = new QLabel(caption, side);
        label->setObjectName(labelName);
        label->setContentsMargins(4, 2, 0, 0);
        list = MakeList(listName, model, side);
        layout->addWidget(label);
        layout->addWidget(list, 1);
        splitter->addWidget(side);
    };
    addSide("Label1", "Copy From :", lstCopyFrom_, "lstCopyFrom", fromModel_);
    addSide("Label2", "Copy To :", lstCopyTo_, "lstCopyTo", toModel_);
    // The destination list keeps its width when the window grows.
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 0);
    splitter->setSizes({293, 288});
    setCentralWidget(splitter);
    statusBar()->setObjectName("Status");
}

TfrmMain::~TfrmMain() = default;

} // namespace ferrox
