#include "ui/LineListView.h"

#include <QContextMenuEvent>
#include <QMouseEvent>

#include "diag/Trace.h"
#include "ui/LineListModel.h"

namespace ferrox {

TLineListView::TLineListView(TVirtualTree& list, bool sourceList, const QString& objectName,
                             QWidget* parent)
    : QTreeView(parent), model_(new TLineListModel(list, sourceList, this)),
      sourceList_(sourceList) {
    setObjectName(objectName);
    setModel(model_);
    setHeaderHidden(true);
    // The destination list shows the root level's indent, the source list does not.
    setRootIsDecorated(!sourceList);
    setItemsExpandable(false);
    setUniformRowHeights(true); // keeps long lists cheap to lay out
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setIconSize(QSize(16, 16));
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(model_, &TLineListModel::LinesChanged, viewport(), [this] { viewport()->update(); });
    connect(this, &QAbstractItemView::clicked, this, [this] { ListClick(); });
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TLineListView::SelectionChanged);
    // The selection is put aside for a burst of changes (saving it costs Qt an index per
    // selected row) and taken again from the lines, which kept it.
    connect(model_, &TLineListModel::BulkChangeBegins, this, [this] {
        syncing_ = true;
        selectionModel()->clearSelection();
    });
    connect(model_, &TLineListModel::BulkChangeEnded, this, [this] {
        SelectFromLines();
        syncing_ = false;
    });
}

TLineListView::~TLineListView() {
    // Before the model goes with the other children: nothing reaches the list afterwards.
    Detach();
}

void TLineListView::Detach() {
    model_->Detach();
}

PVirtualNode TLineListView::NodeOfRow(int row) const {
    return model_->NodeOfRow(row);
}

void TLineListView::SelectFromLines() {
    QItemSelection selection;
    const int rows = model_->rowCount();
    for (int row = 0; row < rows;) {
        PVirtualNode node = model_->NodeOfRow(row);
        if (!node->Selected()) {
            ++row;
            continue;
        }
        int last = row;
        while (last + 1 < rows && model_->NodeOfRow(last + 1)->Selected())
            ++last;
        selection.select(model_->index(row), model_->index(last));
        row = last + 1;
    }
    bool was = syncing_;
    syncing_ = true;
    selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    syncing_ = was;
}

void TLineListView::SelectionChanged(const QItemSelection& selected,
                                     const QItemSelection& deselected) {
    if (syncing_)
        return;
    // Rows leaving because their lines were removed need nothing: a removed line has
    // already left the list's selection.
    for (const QItemSelectionRange& r : deselected)
        model_->SelectRows(r.top(), r.bottom(), false);
    for (const QItemSelectionRange& r : selected)
        model_->SelectRows(r.top(), r.bottom(), true);
}

void TLineListView::SelectForPopup(const QPoint& pos) {
    QModelIndex index = indexAt(pos);
    if (!index.isValid() || selectionModel()->isSelected(index))
        return;
    // The popup's commands act on the line under the pointer, not on an older selection.
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect |
                                                 QItemSelectionModel::Rows);
}

void TLineListView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        SelectForPopup(event->position().toPoint());
        event->accept();
        return; // nothing else: a right click only selects and opens the popup
    }
    QTreeView::mousePressEvent(event);
}

void TLineListView::mouseReleaseEvent(QMouseEvent* event) {
    // The press was ours alone; the base class would act on its own idea of it.
    if (event->button() == Qt::RightButton) {
        event->accept();
        return;
    }
    QTreeView::mouseReleaseEvent(event);
}

bool TLineListView::viewportEvent(QEvent* event) {
    // Some platforms send the popup request without a press first, or before it.
    if (event->type() == QEvent::ContextMenu) {
        auto* menu = static_cast<QContextMenuEvent*>(event);
        if (menu->reason() == QContextMenuEvent::Mouse)
            SelectForPopup(menu->pos());
    }
    return QTreeView::viewportEvent(event);
}

void TLineListView::ListClick() {
    TTraceScope trace(sourceList_ ? "lstCopyFromClick" : "lstCopyToClick");
    viewport()->update();
}

} // namespace ferrox
