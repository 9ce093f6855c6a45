#include "ui/common/ElidedLabel.h"

#include <QPainter>
#include <QStyle>

namespace ferrox {

QRect TElidedLabel::TextRect() const {
    const int indent = std::max(0, this->indent());
    return contentsRect().adjusted(indent, 0, -indent, 0);
}

QString TElidedLabel::ShownText() const {
    // Whole lines only: the status line is one line, whatever it was given.
    QString line = text();
    line.replace('\n', ' ');
    return fontMetrics().elidedText(line, Qt::ElideMiddle, TextRect().width());
}

void TElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    drawFrame(&painter);
    style()->drawItemText(&painter, TextRect(), Qt::AlignLeft | Qt::AlignVCenter, palette(),
                          isEnabled(), ShownText(), foregroundRole());
}

} // namespace ferrox
