#pragma once
#include <QTreeView>
#include <functional>
#include <string>
#include <vector>

#include "core/UriList.h"
#include "listctl/VirtualTree.h"

namespace ferrox {

class TLineListModel;

// One queue list on the screen: each line's path and status image, and on the source
// list its Move check box. The user's selection is kept on the lines themselves (the
// list's selection flag), so a command acts on the lines the user chose even while a run
// inserts lines above them. The popup menu is the owner's: it opens it on
// customContextMenuRequested, after a right click has selected the line under the pointer;
// the context-menu key asks for it at the current line.
//
// Files and folders dragged from a file manager (a text/uri-list) are taken as a copy,
// never a move, and handed to OnDropFiles once the drop has been answered, so the file
// manager is not kept waiting while they are added. What a file manager copied to the
// clipboard comes the same way on Ctrl+V; Ctrl+C puts the selected lines' paths there.
//
// A path is shown whole, never shortened: the column is as wide as the widest path (kept
// by the model as lines come and go), and scrolls sideways when that is wider than the
// list.
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

    // Room for a line's box, image and the start of its path in a few lines.
    QSize minimumSizeHint() const override;

    // The URLs dropped or pasted, in their order; local paths as bytes.
    std::function<void(const TUriList& urls)> OnDropFiles;
    // The Delete key.
    std::function<void()> OnDeleteKey;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool event(QEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void changeEvent(QEvent* event) override;
    void updateGeometries() override;

private:
    void SelectForPopup(const QPoint& pos);
    void ListClick();
    void SelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    // Shows the lines' own selection flags as the view's selection.
    void SelectFromLines();
    // Where the popup opens for the keyboard: below the current line, in the viewport.
    QPoint KeyboardPopupPoint();
    // Accepts the drag as a copy when the source lets it be copied; false (and refused)
    // otherwise.
    bool AcceptAsCopy(QDropEvent* event);
    void PasteFiles();
    void CopySelectedPaths();
    // The size of a line with this text, its box and its image; the indent not counted.
    QSize LineSize(const QString& text) const;
    // What a line takes beside its text: indent, box, image and margins.
    int DecorationWidth() const;
    void FitColumnToPaths();

    TLineListModel* model_;
    const bool sourceList_;
    // The view's selection is being rebuilt from the lines: nothing to tell them.
    bool syncing_ = false;
    // Whether the drag entering now carries URLs; decided once, not on every move.
    bool dragHasUrls_ = false;
};

} // namespace ferrox
