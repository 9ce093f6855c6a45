#include "ui/modPleaseWait/frmPleaseWait.h"

#include <QCoreApplication>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>

namespace ferrox {

namespace {
QLabel* MakeLabel(const char* name, const char* text, int pixelSize, bool bold, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setAlignment(Qt::AlignCenter);
    QFont font = label->font();
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    label->setFont(font);
    label->setMinimumSize(313, 33);
    return label;
}
} // namespace

TfrmPleaseWait::TfrmPleaseWait(QWidget* owner)
    : QWidget(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName("frmPleaseWait");
    setWindowTitle(QString());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 1, 1);
    layout->setSpacing(7);
    layout->addWidget(MakeLabel("lblPleaseWait", "Please wait...", 24, true, this));
    QLabel* label1 = MakeLabel("Label1", "while Queue file is processed.", 19, false, this);
    label1->setWordWrap(true);
    layout->addWidget(label1);
    // Never smaller than its design size; larger only where the desktop's font needs it.
    setFixedSize(layout->sizeHint().expandedTo(QSize(314, 81)));
}

void TfrmPleaseWait::ShowPleaseWait() {
    // Placed by its client area: before the first show the window frame is unknown. An
    // owner not shown yet (the start-up load) has no place: the screen's middle then.
    QRect client(QPoint(), size());
    QWidget* owner = parentWidget();
    const bool ownerShown = owner && owner->window()->isVisible();
    if (ownerShown)
        client.moveCenter(owner->window()->geometry().center());
    else if (QScreen* s = screen())
        client.moveCenter(s->availableGeometry().center());
    setGeometry(client);
    show();
    raise();
    // At start-up the window's thread waits for the load, with no event loop running yet:
    // let the window system map the box and paint it now. Later the event loop does that.
    if (!ownerShown) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        repaint();
    }
}

void TfrmPleaseWait::HidePleaseWait() {
    hide();
}

} // namespace ferrox
