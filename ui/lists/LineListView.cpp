#include "ui/lists/LineListView.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QScrollBar>
#include <algorithm>

#include "diag/Trace.h"
#include "ui/common/PathText.h"
#include "ui/lists/LineListModel.h"

namespace ferrox {

namespace {

const QString UriListType = QStringLiteral("text/uri-list");
// What GNOME file managers put on the clipboard with Ctrl+C or Ctrl+X.
const QString CopiedFilesType = QStringLiteral("x-special/gnome-copied-files");

std::string_view View(const QByteArray& bytes) {
    return std::string_view(bytes.constData(), size_t(bytes.size()));
}

// The URLs a drag carries, read by the core byte for byte: QUrl would turn a name that is
// not valid UTF-8 into another name.
TUriList DroppedUrls(const QMimeData* data) {
    if (!data || !data->hasFormat(UriListType))
        return {};
    return ReadUriList(View(data->data(UriListType)));
}

TUriList PastedUrls(const QMimeData* data) {
    if (!data)
        return {};
    if (data->hasFormat(UriListType))
        return ReadUriList(View(data->data(UriListType)));
    if (data->hasFormat(CopiedFilesType))
        return ReadCopiedFiles(View(data->data(CopiedFilesType)));
    return {};
}

bool HasUrls(const TUriList& urls) {
    return !urls.LocalPaths.empty() || !urls.NotLocal.empty();
}

} // namespace

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
    // Whole paths: the one column is as wide as the widest of them, at least the list's
    // width, and scrolls sideways.
    setTextElideMode(Qt::ElideNone);
    header()->setStretchLastSection(false);
    model_->MeasurePaths(font());
    FitColumnToPaths();
    setContextMenuPolicy(Qt::CustomContextMenu);
    // Drops only: the lines are never dragged out, and a drop always goes to the end of
    // the list, so no mark between lines suggests otherwise.
    setDragDropMode(QAbstractItemView::DropOnly);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDropIndicatorShown(false);
    // The pending layout is done before the paint is asked for: left to paintEvent, it
    // would ask for a second paint of the whole list on every refresh.
    connect(model_, &TLineListModel::LinesChanged, viewport(), [this] {
        FitColumnToPaths();
        executeDelayedItemsLayout();
        viewport()->update();
    });
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

QSize TLineListView::minimumSizeHint() const {
    const int frame = 2 * frameWidth();
    return {DecorationWidth() + 12 * fontMetrics().averageCharWidth() +
                verticalScrollBar()->sizeHint().width() + frame,
            3 * LineSize(QStringLiteral("M")).height() +
                horizontalScrollBar()->sizeHint().height() + frame};
}

QSize TLineListView::LineSize(const QString& text) const {
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.features = QStyleOptionViewItem::HasDisplay | QStyleOptionViewItem::HasDecoration;
    if (sourceList_)
        option.features |= QStyleOptionViewItem::HasCheckIndicator;
    option.decorationSize = iconSize();
    option.text = text;
    return style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), this);
}

int TLineListView::DecorationWidth() const {
    const QString sample = QStringLiteral("M");
    return LineSize(sample).width() - fontMetrics().horizontalAdvance(sample) +
           (rootIsDecorated() ? indentation() : 0);
}

void TLineListView::FitColumnToPaths() {
    const int widest = model_->WidestPath();
    // An average character of room after the text takes what kerning may add.
    const int need = widest ? DecorationWidth() + widest + fontMetrics().averageCharWidth() : 0;
    const int width = std::max(need, viewport()->width());
    if (header()->sectionSize(0) != width)
        header()->resizeSection(0, width);
}

void TLineListView::updateGeometries() {
    // Before the scroll bars are set: a column wider than the list brings the sideways one.
    FitColumnToPaths();
    QTreeView::updateGeometries();
}

void TLineListView::changeEvent(QEvent* event) {
    QTreeView::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        model_->MeasurePaths(font());
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        FitColumnToPaths();
}

void TLineListView::PasteFiles() {
    const TUriList urls = PastedUrls(QGuiApplication::clipboard()->mimeData());
    if (HasUrls(urls) && OnDropFiles)
        OnDropFiles(urls);
}

void TLineListView::CopySelectedPaths() {
    std::vector<std::pair<int, int>> ranges;
    for (const QItemSelectionRange& r : selectionModel()->selection())
        ranges.emplace_back(r.top(), r.bottom());
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::string> paths;
    QStringList shown;
    int next = 0; // ranges may overlap: each row once, in the list's order
    for (auto [top, bottom] : ranges) {
        for (int row = std::max(top, next); row <= bottom; ++row)
            if (PVirtualNode node = model_->NodeOfRow(row)) {
                paths.push_back(node->Data.Path);
                shown << ShownPath(node->Data.Path);
            }
        next = std::max(next, bottom + 1);
    }
    if (paths.empty())
        return; // the clipboard keeps what it holds
    auto* data = new QMimeData;
    data->setData(UriListType, QByteArray::fromStdString(UriListOf(paths)));
    data->setText(shown.join('\n'));
    QGuiApplication::clipboard()->setMimeData(data);
}

void TLineListView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Paste)) {
        event->accept();
        PasteFiles();
        return;
    }
    if (event->matches(QKeySequence::Copy)) {
        event->accept();
        CopySelectedPaths();
        return;
    }
    if (event->key() == Qt::Key_Delete &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        event->accept();
        if (OnDeleteKey)
            OnDeleteKey();
        return;
    }
    QTreeView::keyPressEvent(event);
}

QPoint TLineListView::KeyboardPopupPoint() {
    const QModelIndex current = currentIndex();
    if (!current.isValid())
        return viewport()->rect().topLeft() + QPoint(4, 4);
    scrollTo(current);
    const QRect line = visualRect(current);
    const QPoint point(line.left() + iconSize().width(), line.bottom());
    const QRect inside = viewport()->rect();
    return QPoint(std::clamp(point.x(), inside.left(), inside.right()),
                  std::clamp(point.y(), inside.top(), inside.bottom()));
}

bool TLineListView::event(QEvent* event) {
    // The keyboard's popup opens at the current line, not where the pointer happens to be.
    if (event->type() == QEvent::ContextMenu &&
        static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard) {
        event->accept();
        emit customContextMenuRequested(KeyboardPopupPoint());
        return true;
    }
    return QTreeView::event(event);
}

bool TLineListView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ContextMenu) {
        auto* menu = static_cast<QContextMenuEvent*>(event);
        // Some platforms send the popup request without a press first, or before it.
        if (menu->reason() == QContextMenuEvent::Mouse) {
            SelectForPopup(menu->pos());
        } else if (menu->reason() == QContextMenuEvent::Keyboard) {
            event->accept();
            emit customContextMenuRequested(KeyboardPopupPoint());
            return true;
        }
    }
    return QTreeView::viewportEvent(event);
}

bool TLineListView::AcceptAsCopy(QDropEvent* event) {
    // Whatever the file manager proposes: a move would make it delete the files the queue
    // has yet to copy.
    if (!(event->possibleActions() & Qt::CopyAction)) {
        event->ignore();
        return false;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    return true;
}

// URLs that name no local file are let in too, so the drop can say why they are left out.
void TLineListView::dragEnterEvent(QDragEnterEvent* event) {
    dragHasUrls_ = HasUrls(DroppedUrls(event->mimeData()));
    if (dragHasUrls_)
        AcceptAsCopy(event);
    else
        event->ignore();
}

void TLineListView::dragMoveEvent(QDragMoveEvent* event) {
    if (dragHasUrls_)
        AcceptAsCopy(event);
    else
        event->ignore();
}

void TLineListView::dropEvent(QDropEvent* event) {
    dragHasUrls_ = false;
    TUriList urls = DroppedUrls(event->mimeData());
    if (!HasUrls(urls) || !AcceptAsCopy(event)) {
        event->ignore();
        return;
    }
    // Nothing of it is taken: the file manager is told so, the user by the status line.
    if (urls.LocalPaths.empty())
        event->ignore();
    // Handled once the file manager has its answer: adding and saving may take a while.
    QMetaObject::invokeMethod(
        this,
        [this, urls = std::move(urls)] {
            if (OnDropFiles)
                OnDropFiles(urls);
        },
        Qt::QueuedConnection);
}

void TLineListView::ListClick() {
    TTraceScope trace(sourceList_ ? "lstCopyFromClick" : "lstCopyToClick");
    viewport()->update();
}

} // namespace ferrox
