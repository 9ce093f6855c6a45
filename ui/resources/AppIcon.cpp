#include "ui/resources/AppIcon.h"

#include <QImageReader>

// The resources live in a static library: nothing would pull them into the program
// unless they are registered by name.
static void InitFerroxResources() {
    Q_INIT_RESOURCE(ferrox);
}

namespace ferrox {

QIcon FerroxIcon() {
    static const bool registered = (InitFerroxResources(), true);
    (void)registered;
    // Without Qt's SVG plugin the drawing would give an empty icon; the bitmaps, drawn from
    // it, always load.
    if (QImageReader::supportedImageFormats().contains("svg"))
        return QIcon(":/ferrox/ferrox.svg");
    QIcon icon;
    for (int size : {16, 32, 48, 64})
        icon.addFile(QString(":/ferrox/ferrox-%1.png").arg(size), QSize(size, size));
    return icon;
}

} // namespace ferrox
