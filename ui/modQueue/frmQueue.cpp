#include "ui/modQueue/frmQueue.h"

#include "core/FerroxCore.h"
#include "ui/common/FileDialogs.h"
#include "ui/common/PathText.h"

#include <QPointer>
#include <QPushButton>

namespace ferrox {

namespace {
constexpr const char* AllFilesFilter = "All Files (*)";

QPushButton* MakeButton(const char* name, const char* caption, int left, QWidget* parent) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setGeometry(left, 8, 75, 25);
    return button;
}

} // namespace

TfrmQueue::TfrmQueue(TFerroxCore& core, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), core_(core) {
    setObjectName("frmQueue");
    setWindowTitle("Queue Maintenance");
    setModal(true);
    setFixedSize(282, 41);
    btnClose_ = MakeButton("btnClose", "&Close", 200, this);
    btnLoad_ = MakeButton("btnLoad", "&Load", 8, this);
    btnSave_ = MakeButton("btnSave", "&Save", 96, this);
    setTabOrder(btnClose_, btnLoad_);
    setTabOrder(btnLoad_, btnSave_);
    btnClose_->setFocus();
    connect(btnLoad_, &QPushButton::clicked, this, &TfrmQueue::btnLoadClick);
    connect(btnSave_, &QPushButton::clicked, this, &TfrmQueue::btnSaveClick);
    connect(btnClose_, &QPushButton::clicked, this, &TfrmQueue::btnCloseClick);
}

QString TfrmQueue::ProposedFile() const {
    // Always the default queue file, whichever file is the current one.
    return ShownPath(core_.DefaultQueueFile());
}

void TfrmQueue::btnLoadClick() {
    const QString name =
        FileDialogs::GetOpenFileName(this, "Load Queue", ProposedFile(), AllFilesFilter, true);
    if (name.isEmpty())
        return;
    DisableButtons();
    core_.LoadQueueFrom(PathBytes(name), [self = QPointer(this)](TLoadResult) {
        if (self)
            self->FileOperationDone();
    });
}

void TfrmQueue::btnSaveClick() {
    const QString name =
        FileDialogs::GetSaveFileName(this, "Save Queue", ProposedFile(), AllFilesFilter, false);
    if (name.isEmpty())
        return;
    DisableButtons();
    core_.SaveQueueAs(PathBytes(name), [self = QPointer(this)](TSaveResult) {
        if (self)
            self->FileOperationDone();
    });
}

void TfrmQueue::FileOperationDone() {
    EnableButtons();
    accept();
}

void TfrmQueue::btnCloseClick() {
    core_.ClearStatusLine();
    accept();
}

void TfrmQueue::reject() {}

void TfrmQueue::DisableButtons() {
    btnSave_->setEnabled(false);
    btnLoad_->setEnabled(false);
    btnClose_->setEnabled(false);
}

void TfrmQueue::EnableButtons() {
    btnSave_->setEnabled(true);
    btnLoad_->setEnabled(true);
    btnClose_->setEnabled(true);
}

} // namespace ferrox
