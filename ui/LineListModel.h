#pragma once
#include <QAbstractListModel>
#include <QTimer>
#include <atomic>

#include "listctl/VirtualTree.h"

namespace ferrox {

// Shows one core list. Rows are announced from the list's journal on a bounded-rate
// refresh, so that selection and scroll position survive changes made by any thread;
// a row's line is looked up when the view asks for it.
class TLineListModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit TLineListModel(TVirtualTree& list, QObject* parent = nullptr);
    ~TLineListModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    PVirtualNode NodeOfRow(int row) const;
    // Brings the rows up to date with the list now.
    void Refresh();

private:
    TVirtualTree& list_;
    int rows_ = 0;
    uint64_t seenChanges_ = 0;
    std::atomic<bool> dirty_{true};
    QTimer timer_;
};

} // namespace ferrox
