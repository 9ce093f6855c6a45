#pragma once
#include <QDialog>

#include <functional>

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
    void RunFileOperation(const std::function<void()>& operation);
    void DisableButtons();
    void EnableButtons();
    QString ProposedFile() const;

    TFerroxCore& core_;
    QPushButton* btnClose_;
    QPushButton* btnLoad_;
    QPushButton* btnSave_;
};

} // namespace ferrox
