#include "ui/modMain/LineImages.h"

#include <QPainter>
#include <QPainterPath>
#include <array>

namespace ferrox {

namespace {

constexpr int Size = 16;

void DrawDocument(QPainter& p) {
    // A page with its top right corner folded over.
    QPainterPath page;
    page.moveTo(2.5, 0.5);
    page.lineTo(9.5, 0.5);
    page.lineTo(13.5, 4.5);
    page.lineTo(13.5, 15.5);
    page.lineTo(2.5, 15.5);
    page.closeSubpath();
    p.setPen(QPen(QColor(96, 96, 96), 1));
    p.setBrush(Qt::white);
    p.drawPath(page);
    QPainterPath fold;
    fold.moveTo(9.5, 0.5);
    fold.lineTo(9.5, 4.5);
    fold.lineTo(13.5, 4.5);
    p.setBrush(QColor(220, 220, 220));
    p.drawPath(fold);
    p.setPen(QPen(QColor(170, 170, 170), 1));
    for (int y = 7; y <= 13; y += 2)
        p.drawLine(QPointF(4.5, y + 0.5), QPointF(11.5, y + 0.5));
}

void DrawFolder(QPainter& p) {
    p.setPen(QPen(QColor(150, 110, 10), 1));
    // The tab behind, then the front of the folder.
    QPainterPath back;
    back.moveTo(0.5, 3.5);
    back.lineTo(5.5, 3.5);
    back.lineTo(7.5, 5.5);
    back.lineTo(15.5, 5.5);
    back.lineTo(15.5, 13.5);
    back.lineTo(0.5, 13.5);
    back.closeSubpath();
    p.setBrush(QColor(230, 180, 40));
    p.drawPath(back);
    p.setBrush(QColor(255, 214, 80));
    p.drawRect(QRectF(0.5, 7.5, 15, 6));
}

// The state marks sit in the lower right corner, over the document or folder.
void DrawCheck(QPainter& p) {
    QPainterPath tick;
    tick.moveTo(6.5, 10.5);
    tick.lineTo(9.5, 14);
    tick.lineTo(15, 6.5);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(tick);
    p.setPen(QPen(QColor(0, 150, 30), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(tick);
}

void DrawArrow(QPainter& p) {
    QPolygonF arrow(
        {{5.5, 8.5}, {9.5, 8.5}, {9.5, 5}, {15.5, 10.5}, {9.5, 16}, {9.5, 12.5}, {5.5, 12.5}});
    p.setPen(QPen(Qt::white, 1.2));
    p.setBrush(QColor(20, 80, 220));
    p.drawPolygon(arrow);
}

void DrawCross(QPainter& p) {
    p.setPen(QPen(Qt::white, 4.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(7.5, 7.5), QPointF(14.5, 14.5));
    p.drawLine(QPointF(14.5, 7.5), QPointF(7.5, 14.5));
    p.setPen(QPen(QColor(215, 20, 20), 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(7.5, 7.5), QPointF(14.5, 14.5));
    p.drawLine(QPointF(14.5, 7.5), QPointF(7.5, 14.5));
}

QPixmap Draw(int status) {
    QImage image(Size, Size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    if (status % 2 == 0)
        DrawDocument(p);
    else
        DrawFolder(p);
    switch (status / 2) {
    case 1:
        DrawCheck(p);
        break;
    case 2:
        DrawArrow(p);
        break;
    case 3:
        DrawCross(p);
        break;
    default:
        break;
    }
    p.end();
    return QPixmap::fromImage(image);
}

struct TImages {
    std::array<QPixmap, 8> Pixmaps;
    std::array<QIcon, 8> Icons;
    TImages() {
        for (int s = 0; s < 8; ++s) {
            Pixmaps[s] = Draw(s);
            // Given for the selected mode too, so a selected line is not shown tinted.
            Icons[s].addPixmap(Pixmaps[s], QIcon::Normal);
            Icons[s].addPixmap(Pixmaps[s], QIcon::Selected);
        }
    }
};

// Made once, on the window thread that first paints a list.
const TImages& Images() {
    static const TImages images;
    return images;
}

} // namespace

QIcon LineImage(int status) {
    if (status < 0 || status > 7)
        return {};
    return Images().Icons[static_cast<size_t>(status)];
}

QPixmap LineImagePixmap(int status) {
    if (status < 0 || status > 7)
        return {};
    return Images().Pixmaps[static_cast<size_t>(status)];
}

} // namespace ferrox
