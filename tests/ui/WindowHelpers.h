#pragma once
#include <QObject>
#include <QtGlobal>

namespace ferrox::test {

// The window's child of that type and object name; the test ends when there is none.
template <class T> T* Find(QObject& window, const char* name) {
    T* child = window.findChild<T*>(name);
    if (!child)
        qFatal("no %s", name);
    return child;
}

} // namespace ferrox::test
