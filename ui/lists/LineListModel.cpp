#include "ui/lists/LineListModel.h"

#include "ui/common/PathText.h"

#include <QTextDocument>
#include <algorithm>

#include "diag/Trace.h"
#include "ui/modMain/LineImages.h"

namespace ferrox {

namespace {
// How often the list is looked at: a change after a quiet spell (a command of the user's)
// shows on the next look.
constexpr int RefreshMs = 33;
// While the list keeps changing (a run), what the eye can follow: every refresh repaints
// both views, and each repaint costs the window thread a few milliseconds that a copy
// run on the same processors then lacks.
constexpr int BusyRefreshMs = 100;
} // namespace

TLineListModel::TLineListModel(TVirtualTree& list, bool sourceList, QObject* parent)
    : QAbstractListModel(parent), list_(&list), sourceList_(sourceList) {
    // The change counter is read before the lines, so a change made in between is seen
    // again on the first tick: a repaint too many, never one too few.
    seenChanges_ = list.ChangeCount();
    rows_.Assign(list.EnableJournal(true));
    // The list is polled, not asked to call back: a callback from the copy thread could
    // still be running while this model is destroyed.
    connect(&timer_, &QTimer::timeout, this, [this] {
        if (!list_ || list_->ChangeCount() == seenChanges_) {
            quiet_ = true;
            return;
        }
        if (!quiet_ && sinceRefresh_.isValid() && sinceRefresh_.elapsed() < BusyRefreshMs)
            return;
        quiet_ = false;
        Refresh();
    });
    timer_.start(RefreshMs);
}

TLineListModel::~TLineListModel() {
    Detach();
}

void TLineListModel::Detach() {
    timer_.stop();
    if (list_)
        list_->EnableJournal(false);
    list_ = nullptr;
}

void TLineListModel::MeasurePaths(const QFont& font) {
    widths_.SetFont(font);
    CountAllWidths();
}

void TLineListModel::CountAllWidths() {
    widths_.Clear();
    if (widths_.HasFont())
        for (size_t row = 0; row < rows_.Size(); ++row)
            widths_.Add(rows_.At(row)->Data.Path);
}

void TLineListModel::InsertRows(size_t row, const std::vector<PVirtualNode>& lines) {
    rows_.Insert(row, lines);
    if (widths_.HasFont())
        for (const PVirtualNode& line : lines)
            widths_.Add(line->Data.Path);
}

void TLineListModel::EraseRows(size_t row, size_t count) {
    if (widths_.HasFont())
        for (size_t r = row; r < row + count && r < rows_.Size(); ++r)
            widths_.Remove(rows_.At(r)->Data.Path);
    rows_.Erase(row, count);
}

int TLineListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.Size());
}

PVirtualNode TLineListModel::NodeOfRow(int row) const {
    if (row < 0 || static_cast<size_t>(row) >= rows_.Size())
        return nullptr;
    return rows_.At(static_cast<size_t>(row));
}

Qt::ItemFlags TLineListModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
    if (sourceList_)
        f |= Qt::ItemIsUserCheckable;
    return f;
}

namespace {
// A line as a screen reader says it: its path, what it is and how far it got; a failed
// line with the reason it failed (its note).
QString AccessibleLineText(const TLineData& line) {
    const int32_t status = line.Status.load(std::memory_order_relaxed);
    // Status = 2 * state + kind (queue/LineStatus.h).
    static const char* const states[] = {"waiting", "done", "being copied", "failed"};
    QString text = ShownPath(line.Path) + ", " + ((status & 1) ? "folder" : "file") + ", " +
                   (status >= 0 && status < 8 ? states[status >> 1] : "");
    if ((status >> 1) == 3)
        if (std::shared_ptr<const std::string> note = line.Note())
            text += ": " + ShownPath(*note);
    return text;
}
} // namespace

QVariant TLineListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (section == 0 && orientation == Qt::Horizontal &&
        (role == Qt::DisplayRole || role == Qt::AccessibleTextRole))
        return sourceList_ ? QString("Copy From") : QString("Copy To");
    return QAbstractListModel::headerData(section, orientation, role);
}

QVariant TLineListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || static_cast<size_t>(index.row()) >= rows_.Size())
        return {};
    const PVirtualNode& node = rows_.At(static_cast<size_t>(index.row()));
    switch (role) {
    case Qt::DisplayRole: {
        TTraceScope trace("lstCopyFromGetText");
        // Decoded for display only; the line keeps its bytes.
        return ShownPath(node->Data.Path);
    }
    case Qt::ToolTipRole: {
        TTraceScope trace("lstCopyFromGetText");
        // The whole path, and for a failed line why and when it failed.
        QString text = ShownPath(node->Data.Path);
        if (std::shared_ptr<const std::string> note = node->Data.Note())
            text += '\n' + ShownPath(*note);
        // A tooltip that looks like markup is shown as markup: a name holding "<b>" would
        // lose characters. Escaped, it shows whole, on lines like the plain ones.
        if (!Qt::mightBeRichText(text))
            return text;
        return "<p style='white-space:pre'>" + text.toHtmlEscaped() + "</p>";
    }
    case Qt::AccessibleTextRole:
        return AccessibleLineText(node->Data);
    case Qt::DecorationRole: {
        TTraceScope trace("lstCopyFromGetImageIndex");
        return LineImage(node->Data.Status.load(std::memory_order_relaxed));
    }
    case Qt::CheckStateRole:
        if (!sourceList_ || node->CheckKind.load() != TCheckType::CheckKindTwoState)
            return {};
        return node->CheckMark.load() == TCheckState::csCheckedNormal ? Qt::Checked : Qt::Unchecked;
    default:
        return {};
    }
}

bool TLineListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::CheckStateRole || !sourceList_ || !list_ || !OnMoveMark)
        return false;
    PVirtualNode node = NodeOfRow(index.row());
    if (!node)
        return false;
    bool wanted = value.toInt() == Qt::Checked;
    bool now = node->CheckMark.load() == TCheckState::csCheckedNormal;
    if (wanted != now) {
        OnMoveMark(node, wanted);
        emit dataChanged(index, index, {Qt::CheckStateRole});
        emit LinesChanged();
    }
    return true;
}

void TLineListModel::SelectRows(int first, int last, bool selected) {
    if (!list_)
        return;
    first = std::max(first, 0);
    last = std::min(last, static_cast<int>(rows_.Size()) - 1);
    for (int row = first; row <= last; ++row)
        list_->SetSelected(rows_.At(static_cast<size_t>(row)), selected);
}

void TLineListModel::Refresh() {
    // A batch is shown when it ends, as a whole; EndBatch counts as a change, so the next
    // tick comes back.
    if (!list_ || list_->Batching())
        return;
    sinceRefresh_.start();
    uint64_t changes = list_->ChangeCount();
    std::vector<TListChange> journal = list_->TakeJournal();
    // Each row signal costs Qt a pass over every saved index (selection ranges, current
    // line): a few changes go one by one, a burst of scattered ones as one.
    size_t saved = static_cast<size_t>(persistentIndexList().size());
    if (journal.size() > std::max<size_t>(1024, rows_.Size() / 64)) {
        // More changes than replaying is worth (a thread changing lines faster than they
        // can be shown): the lines as they are now, in the same step as a fresh journal.
        journal.clear();
        std::vector<PVirtualNode> now = list_->EnableJournal(true);
        ApplyInBulk(journal, &now);
    } else if (journal.size() > 256 || journal.size() * (saved + 32) > 32768) {
        ApplyInBulk(journal, nullptr);
    }
    for (TListChange& c : journal) {
        if (c.Kind == TListChange::Reset) {
            beginResetModel();
            rows_.Clear();
            widths_.Clear();
            endResetModel();
        } else if (c.Kind == TListChange::Insert) {
            beginInsertRows({}, c.Position, c.Position + c.Count - 1);
            InsertRows(static_cast<size_t>(c.Position), c.Nodes);
            endInsertRows();
        } else {
            beginRemoveRows({}, c.Position, c.Position + c.Count - 1);
            EraseRows(static_cast<size_t>(c.Position), static_cast<size_t>(c.Count));
            endRemoveRows();
        }
    }
    if (changes != seenChanges_) {
        seenChanges_ = changes;
        emit LinesChanged();
    }
}

void TLineListModel::ApplyInBulk(std::vector<TListChange>& changes,
                                 std::vector<PVirtualNode>* lines) {
    emit BulkChangeBegins();
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    // The lines behind the saved indexes, found again after the changes by one walk.
    const QModelIndexList before = persistentIndexList();
    std::vector<std::pair<const TVirtualNode*, int>> wanted; // line, place in `before`
    wanted.reserve(static_cast<size_t>(before.size()));
    for (int i = 0; i < before.size(); ++i)
        if (static_cast<size_t>(before[i].row()) < rows_.Size())
            wanted.emplace_back(rows_.At(static_cast<size_t>(before[i].row())).get(), i);
    std::sort(wanted.begin(), wanted.end());

    if (lines) {
        rows_.Assign(std::move(*lines));
        CountAllWidths();
    }
    for (TListChange& c : changes) {
        if (c.Kind == TListChange::Reset) {
            rows_.Clear();
            widths_.Clear();
        } else if (c.Kind == TListChange::Insert) {
            InsertRows(static_cast<size_t>(c.Position), c.Nodes);
        } else {
            EraseRows(static_cast<size_t>(c.Position), static_cast<size_t>(c.Count));
        }
    }
    changes.clear();

    QModelIndexList after(before.size()); // a line no longer shown: an invalid index
    if (!wanted.empty()) {
        for (size_t row = 0; row < rows_.Size(); ++row) {
            const TVirtualNode* line = rows_.At(row).get();
            auto it = std::lower_bound(wanted.begin(), wanted.end(),
                                       std::pair<const TVirtualNode*, int>(line, -1));
            for (; it != wanted.end() && it->first == line; ++it)
                after[it->second] = index(static_cast<int>(row), before[it->second].column());
        }
    }
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
    emit BulkChangeEnded();
}

} // namespace ferrox
