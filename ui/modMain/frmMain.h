#pragma once
#include <QMainWindow>

#include "queue/CopyQueue.h"

class QTreeView;

namespace ferrox {

class TLineListModel;

// The main window: the two lists side by side.
class TfrmMain : public QMainWindow {
    Q_OBJECT
public:
    explicit TfrmMain(QWidget* parent = nullptr);
    ~TfrmMain() override;

    TCopyQueue Queue;

private:
    TLineListModel* fromModel_;
    TLineListModel* toModel_;
    QTreeView* lstCopyFrom_;
    QTreeView* lstCopyTo_;
};

} // namespace ferrox
