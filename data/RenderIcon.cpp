// render-icon SVG SIZE PNG: draws the program's SVG icon as a square PNG of SIZE pixels. The
// build makes the larger bitmaps of the icon theme with it, so that they never drift from
// the drawing and nothing but Qt is needed to make them.
#include <QCoreApplication>
#include <QImage>
#include <QImageReader>

#include <cstdio>

int main(int argc, char** argv) {
    // Qt finds its image format plugins through the application object.
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fputs("usage: render-icon SVG SIZE PNG\n", stderr);
        return 2;
    }
    const int size = QByteArray(argv[2]).toInt();
    QImageReader reader(QString::fromLocal8Bit(argv[1]), "svg");
    reader.setScaledSize(QSize(size, size));
    const QImage image = reader.read();
    if (size <= 0 || image.isNull()) {
        std::fprintf(stderr,
                     "render-icon: cannot draw %s at %s pixels: %s (Qt's SVG image plugin is "
                     "needed, Debian's libqt6svg6)\n",
                     argv[1], argv[2], qPrintable(reader.errorString()));
        return 1;
    }
    if (!image.convertToFormat(QImage::Format_ARGB32)
             .save(QString::fromLocal8Bit(argv[3]), "png")) {
        std::fprintf(stderr, "render-icon: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
