#pragma once
#include <QFile>
#include <QString>
#include <string>

namespace ferrox {

// Paths (and messages holding them) are bytes in the core; the window shows them decoded
// and turns what a dialog returns back into bytes. The stored bytes never change.
inline QString ShownPath(const std::string& bytes) {
    return QFile::decodeName(QByteArray::fromStdString(bytes));
}

inline std::string PathBytes(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

} // namespace ferrox
