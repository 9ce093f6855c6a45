#pragma once
#include <QTreeView>

#include "listctl/VirtualTree.h"

namespace ferrox {

class TLineListModel;

// One queue list on the screen: each line's path and status image, and on the source
// list its Move check box. The user's selection is kept on the lines themselves (the
// list's selection flag), so a command acts on the lines the user chose even while a run
// inserts lines above them. The popup menu is the owner's: it opens it on
// customContextMenuRequested, after a right click has selected the line under the pointer.
//
// The list must outlive the view (or the view's Detach() comes first).
class TLineListView : public QTreeView {
    Q_OBJECT
public:
    TLineListView(TVirtualTree& list, bool sourceList, const QString& objectName, QWidget* parent);
    ~TLineListView() override;

    TLineListModel* LineModel() const { return model_; }
    // The line in this row of the view, or null.
    PVirtualNode NodeOfRow(int row) const;
    // Stops following the list; see TLineListModel.
    void Detach();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool viewportEvent(QEvent* event) override;

private:
    void SelectForPopup(const QPoint& pos);
    void ListClick();
    void SelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    // Shows the lines' own selection flags as the view's selection.
    void SelectFromLines();

    TLineListModel* model_;
    const bool sourceList_;
    // The view's selection is being rebuilt from the lines: nothing to tell them.
    bool syncing_ = false;
};

} // namespace ferrox
