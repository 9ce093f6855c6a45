#pragma once
#include <QString>
#include <QStringList>

class QWidget;

// The program's file and folder dialogs. A test queues the next answer and no dialog
// opens: each queued answer is taken once, and an empty one stands for a cancelled
// dialog. Without one, the desktop's dialog runs.
namespace ferrox::FileDialogs {

void SetNextOpenFileNames(const QStringList& names);
void SetNextSaveFileName(const QString& name);
void SetNextDirectory(const QString& directory);
// The file or folder the last dialog proposed (its `dir` argument).
QString LastProposed();

// `acceptMissing` lets the user name a file that does not exist yet.
QString GetOpenFileName(QWidget* parent, const QString& caption, const QString& dir,
                        const QString& filter, bool acceptMissing = false);
QStringList GetOpenFileNames(QWidget* parent, const QString& caption, const QString& dir,
                             const QString& filter);
QString GetSaveFileName(QWidget* parent, const QString& caption, const QString& dir,
                        const QString& filter, bool confirmOverwrite = true);
QString GetExistingDirectory(QWidget* parent, const QString& caption, const QString& dir);

} // namespace ferrox::FileDialogs
