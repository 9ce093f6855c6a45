#pragma once
#include <QWidget>

#include "core/FaceSinks.h"

namespace ferrox {

// "Please wait..." while the queue file is read or written. Created hidden with the main
// window and kept until the end; shown and hidden on the window thread only.
class TfrmPleaseWait : public QWidget, public IPleaseWait {
    Q_OBJECT
public:
    // `owner` is the window it is centred on.
    explicit TfrmPleaseWait(QWidget* owner);

    void ShowPleaseWait() override;
    void HidePleaseWait() override;
};

} // namespace ferrox
