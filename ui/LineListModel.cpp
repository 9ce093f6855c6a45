#include "ui/LineListModel.h"

#include <QFile>

namespace ferrox {

namespace {
constexpr int RefreshMs = 33; // what the eye can follow; bursts of changes coalesce
}

TLineListModel::TLineListModel(TVirtualTree& list, QObject* parent)
    : QAbstractListModel(parent), list_(list) {
    list_.EnableJournal(true);
    rows_ = static_cast<int>(list_.RootNodeCount());
    // Called from any thread: only a flag, the window's timer does the rest.
    list_.OnChanged = [this] { dirty_.store(true, std::memory_order_release); };
    connect(&timer_, &QTimer::timeout, this, [this] {
        if (dirty_.exchange(false, std::memory_order_acq_rel))
            Refresh();
    });
    timer_.start(RefreshMs);
}

TLineListModel::~TLineListModel() {
    list_.OnChanged = nullptr;
    list_.EnableJournal(false);
}

int TLineListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows_;
}

PVirtualNode TLineListModel::NodeOfRow(int row) const {
    return list_.NodeAt(row);
}

QVariant TLineListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    PVirtualNode node = NodeOfRow(index.row());
    if (!node)
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return QFile::decodeName(QByteArray::fromStdString(node->Data.Path));
    case Qt::CheckStateRole:
        if (node->CheckKind.load() != TCheckType::CheckKindTwoState)
            return {};
        return node->CheckMark.load() == TCheckState::csCheckedNormal ? Qt::Checked : Qt::Unchecked;
    default:
        return {};
    }
}

void TLineListModel::Refresh() {
    for (const TListChange& c : list_.TakeJournal()) {
        if (c.Kind == TListChange::Reset) {
            beginResetModel();
            rows_ = 0;
            endResetModel();
        } else if (c.Kind == TListChange::Insert) {
            beginInsertRows({}, c.Position, c.Position + c.Count - 1);
            rows_ += c.Count;
            endInsertRows();
        } else {
            beginRemoveRows({}, c.Position, c.Position + c.Count - 1);
            rows_ -= c.Count;
            endRemoveRows();
        }
    }
    uint64_t changes = list_.ChangeCount();
    if (changes != seenChanges_ && rows_ > 0) {
        seenChanges_ = changes;
        emit dataChanged(index(0), index(rows_ - 1));
    }
}

} // namespace ferrox
