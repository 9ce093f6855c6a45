#include "ui/ykCoolGauge/ykCoolGauge.h"

#include "ui/ykCoolGauge/GaugeAccessible.h"

#include <QAccessible>
#include <QEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <limits>

namespace ferrox {

namespace {

constexpr int BarWidth = 100;
constexpr int BarHeight = 20;
constexpr int RampStripes = 256;

// One channel of the ramp: moves a step toward its end per stripe and stays there.
struct TRampChannel {
    int Value;
    int End;
    void Step() {
        if (Value < End)
            ++Value;
        else if (Value > End)
            --Value;
    }
};

} // namespace

namespace {
double RelativeLuminance(const QColor& color) {
    auto channel = [](double c) {
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    const QColor rgb = color.toRgb();
    return 0.2126 * channel(rgb.redF()) + 0.7152 * channel(rgb.greenF()) +
           0.0722 * channel(rgb.blueF());
}
constexpr double ReadableContrast = 4.5;
} // namespace

double ContrastRatio(const QColor& a, const QColor& b) {
    const double la = RelativeLuminance(a), lb = RelativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor ReadableOn(const QColor& preferred, const QColor& background1, const QColor& background2) {
    auto worst = [&](const QColor& text) {
        return std::min(ContrastRatio(text, background1), ContrastRatio(text, background2));
    };
    if (worst(preferred) >= ReadableContrast)
        return preferred;
    const QColor black(Qt::black), white(Qt::white);
    return worst(black) >= worst(white) ? black : white;
}

QString FormatGaugeText(const QString& text, int percentage) {
    QString result;
    result.reserve(text.size() + 8);
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'%' && i + 1 < text.size()) {
            if (text[i + 1] == u'd') {
                result += QString::number(percentage);
                ++i;
                continue;
            }
            if (text[i + 1] == u'%') {
                result += u'%';
                ++i;
                continue;
            }
        }
        result += text[i];
    }
    return result;
}

TykCoolGauge::TykCoolGauge(QWidget* parent) : QWidget(parent) {
    // Every pixel is painted here, so Qt need not clear the background first: that clear
    // is what would make the bar flicker.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setContentsMargins(1, 1, 1, 1);
    resize(sizeHint());
    InstallGaugeAccessibility();
}

QSize TykCoolGauge::sizeHint() const {
    const QMargins m = contentsMargins();
    return QSize(BarWidth + m.left() + m.right(), BarHeight + m.top() + m.bottom());
}

int TykCoolGauge::FilledWidthFor(int32_t progress) const {
    const int width = contentsRect().width();
    // A gauge without a positive range or with progress below zero shows an empty bar
    // rather than dividing by zero or filling backwards.
    if (maxValue_ <= 0 || progress <= 0 || width <= 0)
        return 0;
    // Rounded half to even, in this order of operations, so that widths match exactly
    // what the user is used to (100 pixels at 3 of 8 is 38).
    const double filled = std::nearbyint(double(width) / maxValue_ * progress);
    return int(std::min(filled, double(width)));
}

int TykCoolGauge::FilledWidth() const {
    return FilledWidthFor(progress_);
}

int TykCoolGauge::Percentage() const {
    if (maxValue_ <= 0 || progress_ <= 0)
        return 0;
    const double percent = std::nearbyint(double(progress_) / maxValue_ * 100);
    return int(std::min(percent, double(std::numeric_limits<int>::max())));
}

void TykCoolGauge::SetMinValue(int32_t value) {
    if (value == minValue_)
        return;
    if (value < maxValue_)
        minValue_ = value;
    if (progress_ < value)
        progress_ = value;
    update();
}

void TykCoolGauge::SetMaxValue(int32_t value) {
    if (value == maxValue_)
        return;
    if (value > minValue_)
        maxValue_ = value;
    if (value < progress_)
        progress_ = value;
    update();
}

void TykCoolGauge::SetProgress(int32_t value) {
    if (value == progress_ || value < minValue_ || value > maxValue_)
        return;
    const int before = FilledWidth();
    const int percentBefore = Percentage();
    progress_ = value;
    if (Percentage() != percentBefore && QAccessible::isActive()) {
        // A screen reader hears whole percents, not every chunk of a large file.
        QAccessibleValueChangeEvent changed(this, Percentage());
        QAccessible::updateAccessibility(&changed);
    }
    // A step smaller than a pixel costs no drawing: a large file reports far more often
    // than its bar can change. The text follows at the next paint.
    if (FilledWidth() != before)
        update();
}

void TykCoolGauge::SetText(const QString& text) {
    if (text == text_)
        return;
    text_ = text;
    update();
}

void TykCoolGauge::SetBackColor(const QColor& color) {
    if (color == backColor_)
        return;
    backColor_ = color;
    update();
}

void TykCoolGauge::SetBorderStyle(TBorderStyle style) {
    if (style == borderStyle_)
        return;
    borderStyle_ = style;
    update();
}

void TykCoolGauge::SetForeColor1(const QColor& color) {
    if (color == foreColor1_)
        return;
    foreColor1_ = color;
    barStale_ = true;
    update();
}

void TykCoolGauge::SetForeColor2(const QColor& color) {
    if (color == foreColor2_)
        return;
    foreColor2_ = color;
    barStale_ = true;
    update();
}

void TykCoolGauge::SetStyle(TykCoolGaugeStyle style) {
    if (style == style_)
        return;
    style_ = style;
    barStale_ = true;
    update();
}

void TykCoolGauge::SetFrame(bool frame) {
    if (frame == frame_)
        return;
    frame_ = frame;
    const int margin = frame ? 1 : 0;
    setContentsMargins(margin, margin, margin, margin);
    updateGeometry();
    update();
}

void TykCoolGauge::SetFollowPalette(bool follow) {
    if (follow == followPalette_)
        return;
    followPalette_ = follow;
    barStale_ = true;
    update();
}

void TykCoolGauge::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange && followPalette_) {
        barStale_ = true;
        update();
    }
    QWidget::changeEvent(event);
}

QColor TykCoolGauge::EmptyColor() const {
    return followPalette_ ? palette().color(QPalette::Base) : backColor_;
}

QColor TykCoolGauge::FillColor1() const {
    return followPalette_ ? palette().color(QPalette::Highlight) : foreColor1_;
}

QColor TykCoolGauge::FillColor2() const {
    if (followPalette_)
        return palette().color(QPalette::Highlight);
    return style_ == sSolid ? foreColor1_ : foreColor2_;
}

QColor TykCoolGauge::TextColorOverFill() const {
    const QColor preferred =
        palette().color(followPalette_ ? QPalette::HighlightedText : foregroundRole());
    return ReadableOn(preferred, FillColor1(), FillColor2());
}

QColor TykCoolGauge::TextColorOverEmpty() const {
    const QColor preferred = palette().color(followPalette_ ? QPalette::Text : foregroundRole());
    return ReadableOn(preferred, EmptyColor(), EmptyColor());
}

void TykCoolGauge::RebuildBar(int width, int height) {
    ++barRedraws_;
    bar_ = QImage(width, height, QImage::Format_RGB32);
    const QColor start = FillColor1(), end = FillColor2();
    if (style_ == sSolid || followPalette_) {
        bar_.fill(start.rgb());
        return;
    }
    QPainter painter(&bar_);
    TRampChannel red{start.red(), end.red()};
    TRampChannel green{start.green(), end.green()};
    TRampChannel blue{start.blue(), end.blue()};
    for (int i = 0; i < RampStripes; ++i) {
        // Already the first stripe is a step away from the start colour; a stripe
        // narrower than a pixel is skipped but its colour still advances.
        red.Step();
        green.Step();
        blue.Step();
        const int left = i * width / RampStripes;
        const int right = (i + 1) * width / RampStripes;
        if (right > left)
            painter.fillRect(left, 0, right - left, height,
                             QColor(red.Value, green.Value, blue.Value));
    }
}

void TykCoolGauge::paintEvent(QPaintEvent*) {
    // The painter draws into the window's backing store, which reaches the screen in one
    // piece after this returns: bar, text and border never show half drawn.
    QPainter painter(this);
    const QColor fontColor = palette().color(foregroundRole());
    if (frame_) {
        // Sunken: shadow along the top and left, highlight along the right and bottom.
        const QRect r = rect();
        const QColor shadow = palette().color(QPalette::Dark);
        const QColor highlight = palette().color(QPalette::Light);
        painter.fillRect(r.left(), r.top(), r.width(), 1, shadow);
        painter.fillRect(r.left(), r.top(), 1, r.height(), shadow);
        painter.fillRect(r.left() + 1, r.bottom(), r.width() - 1, 1, highlight);
        painter.fillRect(r.right(), r.top() + 1, 1, r.height() - 1, highlight);
    }

    const QRect area = contentsRect();
    const int width = area.width();
    const int height = area.height();
    if (width <= 0 || height <= 0)
        return;
    if (barStale_ || bar_.size() != QSize(width, height)) {
        barStale_ = false;
        RebuildBar(width, height);
    }

    painter.translate(area.topLeft());
    painter.fillRect(0, 0, width, height, EmptyColor());
    // The ramp spans the whole width; the fill uncovers its left part.
    const int filled = FilledWidth();
    if (filled > 0)
        painter.drawImage(QPoint(0, 0), bar_, QRect(0, 0, filled, height));

    if (!text_.isEmpty()) {
        const QString shown = FormatGaugeText(text_, Percentage());
        const QFontMetrics metrics = fontMetrics();
        const int x = (width - metrics.horizontalAdvance(shown)) / 2;
        const int y = (height - metrics.height()) / 2;
        painter.setFont(font());
        // The part of the text over the bar and the part beside it each in a colour that
        // reads there.
        painter.save();
        painter.setClipRect(0, 0, filled, height);
        painter.setPen(TextColorOverFill());
        painter.drawText(x, y + metrics.ascent(), shown);
        painter.setClipRect(filled, 0, width - filled, height);
        painter.setPen(TextColorOverEmpty());
        painter.drawText(x, y + metrics.ascent(), shown);
        painter.restore();
    }

    if (borderStyle_ == bsSingle) {
        painter.fillRect(0, 0, width, 1, fontColor);
        painter.fillRect(0, height - 1, width, 1, fontColor);
        painter.fillRect(0, 0, 1, height, fontColor);
        painter.fillRect(width - 1, 0, 1, height, fontColor);
    }
}

} // namespace ferrox
