#pragma once
#include <QDialog>

class QPushButton;

namespace ferrox {

class TFerroxCore;

// "Queue Maintenance": saves the queue to a file of the user's choice or loads one. Shown
// modally; left only through Load, Save or Close (no close box, Escape does nothing).
class TfrmQueue : public QDialog {
    Q_OBJECT
public:
    TfrmQueue(TFerroxCore& core, QWidget* parent = nullptr);

    void btnLoadClick();
    void btnSaveClick();
    void btnCloseClick();

    // Closes only through the three buttons.
    void reject() override;

private:
    // The buttons stay off from the click until the core says the file is done, however
    // it ended; then the window closes.
    void FileOperationDone();
    void DisableButtons();
    void EnableButtons();
    QString ProposedFile() const;

    TFerroxCore& core_;
    QPushButton* btnClose_;
    QPushButton* btnLoad_;
    QPushButton* btnSave_;
};

} // namespace ferrox
