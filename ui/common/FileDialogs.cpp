#include "ui/common/FileDialogs.h"

#include <QFileDialog>

#include <optional>

namespace ferrox::FileDialogs {

namespace {
// Window thread only, like the dialogs themselves.
std::optional<QStringList> nextOpen;
std::optional<QString> nextSave;
std::optional<QString> nextDirectory;
QString lastProposed;

template <typename T> std::optional<T> Take(std::optional<T>& slot) {
    std::optional<T> answer = std::move(slot);
    slot.reset();
    return answer;
}
} // namespace

void SetNextOpenFileNames(const QStringList& names) {
    nextOpen = names;
}

void SetNextSaveFileName(const QString& name) {
    nextSave = name;
}

void SetNextDirectory(const QString& directory) {
    nextDirectory = directory;
}

QString LastProposed() {
    return lastProposed;
}

QString GetOpenFileName(QWidget* parent, const QString& caption, const QString& dir,
                        const QString& filter, bool acceptMissing) {
    lastProposed = dir;
    if (auto answer = Take(nextOpen))
        return answer->value(0);
    if (!acceptMissing)
        return QFileDialog::getOpenFileName(parent, caption, dir, filter);
    QFileDialog dialog(parent, caption, dir, filter);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles().value(0);
}

QStringList GetOpenFileNames(QWidget* parent, const QString& caption, const QString& dir,
                             const QString& filter) {
    lastProposed = dir;
    if (auto answer = Take(nextOpen))
        return *answer;
    return QFileDialog::getOpenFileNames(parent, caption, dir, filter);
}

QString GetSaveFileName(QWidget* parent, const QString& caption, const QString& dir,
                        const QString& filter, bool confirmOverwrite) {
    lastProposed = dir;
    if (auto answer = Take(nextSave))
        return *answer;
    return QFileDialog::getSaveFileName(parent, caption, dir, filter, nullptr,
                                        confirmOverwrite ? QFileDialog::Options()
                                                         : QFileDialog::DontConfirmOverwrite);
}

QString GetExistingDirectory(QWidget* parent, const QString& caption, const QString& dir) {
    lastProposed = dir;
    if (auto answer = Take(nextDirectory))
        return *answer;
    return QFileDialog::getExistingDirectory(parent, caption, dir);
}

} // namespace ferrox::FileDialogs
