#pragma once
#include <QAbstractListModel>
#include <QElapsedTimer>
#include <QTimer>
#include <functional>

#include "listctl/VirtualTree.h"
#include "ui/lists/LineRows.h"
#include "ui/lists/PathWidths.h"

namespace ferrox {

// Shows one core list. Each row is the line that was announced for it: the model keeps
// the lines themselves, replayed from the list's journal on a bounded-rate refresh, so a
// row never turns into whichever line stands at that position in the list by now, and
// selection and scroll position survive changes made by any thread.
//
// Lifetime: the model reads the list only in Refresh, in the check box and in selection
// changes, all on the window thread; the list must outlive it, or Detach() it first. After
// Detach the rows it holds still paint (they keep their lines alive), nothing else moves.
class TLineListModel : public QAbstractListModel {
    Q_OBJECT
public:
    // With sourceList, lines show their Move mark as a check box the user can click.
    TLineListModel(TVirtualTree& list, bool sourceList, QObject* parent);
    explicit TLineListModel(TVirtualTree& list, QObject* parent = nullptr)
        : TLineListModel(list, false, parent) {}
    ~TLineListModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // The list's name ("Copy From", "Copy To"), which a screen reader reads as the column's.
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The line shown in this row, or null.
    PVirtualNode NodeOfRow(int row) const;
    // Tells the list which lines the user has selected.
    void SelectRows(int first, int last, bool selected);
    // Brings the rows up to date with the list now (not inside a batch of the list).
    void Refresh();
    // Stops following the list for good; see the lifetime note above.
    void Detach();
    // From now on keeps the width of the widest path shown, measured in this font.
    void MeasurePaths(const QFont& font);
    // In pixels; 0 before MeasurePaths.
    int WidestPath() const { return widths_.Widest(); }
    TVirtualTree* List() const { return list_; }

    // A click on a line's box asks for its Move mark to change: the owner hands it to the
    // core, which saves it with the queue. Without it the box does not change.
    std::function<void(const PVirtualNode& line, bool move)> OnMoveMark;

signals:
    // Statuses, marks or selection of lines may have changed: a view repaints what it
    // shows. (No dataChanged over every row: a tree view walks the whole range for it.)
    void LinesChanged();
    // Many scattered changes are shown as one change of layout instead of one signal each:
    // Qt's views and selection pay for every such signal with every saved index. Around it
    // a view keeps its selection by other means (the lines' own selection flags).
    void BulkChangeBegins();
    void BulkChangeEnded();

private:
    // The changes, or (lines given) all lines afresh, as one change of layout.
    void ApplyInBulk(std::vector<TListChange>& changes, std::vector<PVirtualNode>* lines);
    // The rows and the widths they count change together.
    void InsertRows(size_t row, const std::vector<PVirtualNode>& lines);
    void EraseRows(size_t row, size_t count);
    void CountAllWidths();

    TVirtualTree* list_;
    const bool sourceList_;
    TLineRows rows_;
    TPathWidths widths_;
    uint64_t seenChanges_ = 0;
    QTimer timer_;
    QElapsedTimer sinceRefresh_;
    bool quiet_ = true; // the last look found nothing new
};

} // namespace ferrox
