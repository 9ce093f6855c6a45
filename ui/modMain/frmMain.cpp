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

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* labels = new QHBoxLayout;
    auto* label1 = new QLabel("Copy From :", central);
    label1->setObjectName("Label1");
    auto* label2 = new QLabel("Copy To :", central);
    label2->setObjectName("Label2");
    labels->addWidget(label1, 1);
    labels->addWidget(label2, 1);
    layout->addLayout(labels);

    auto* splitter = new QSplitter(Qt::Horizontal, central);
    splitter->setObjectName("Splitter");
    lstCopyFrom_ = MakeList("lstCopyFrom", fromModel_, splitter);
    lstCopyTo_ = MakeList("lstCopyTo", toModel_, splitter);
    splitter->addWidget(lstCopyFrom_);
    splitter->addWidget(lstCopyTo_);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 0);
    layout->addWidget(splitter, 1);
    setCentralWidget(central);
    statusBar()->setObjectName("Status");
}

TfrmMain::~TfrmMain() = default;

} // namespace ferrox
