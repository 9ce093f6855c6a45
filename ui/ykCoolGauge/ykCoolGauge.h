#pragma once
#include <QColor>
#include <QImage>
#include <QString>
#include <QWidget>

#include <cstdint>

namespace ferrox {

enum TykCoolGaugeStyle { sSolid, sDithered };
enum TBorderStyle { bsNone, bsSingle };

// A self-drawn progress bar: fills from the left in proportion to Progress / MaxValue, in
// one colour or as a ramp, with a centred text that may show the percentage. It lives on
// the window thread only; another thread hands its values over through the window.
class TykCoolGauge : public QWidget {
    Q_OBJECT
public:
    explicit TykCoolGauge(QWidget* parent = nullptr);

    int32_t MinValue() const { return minValue_; }
    int32_t MaxValue() const { return maxValue_; }
    int32_t Progress() const { return progress_; }
    QString Text() const { return text_; }
    QColor BackColor() const { return backColor_; }
    TBorderStyle BorderStyle() const { return borderStyle_; }
    QColor ForeColor1() const { return foreColor1_; }
    QColor ForeColor2() const { return foreColor2_; }
    TykCoolGaugeStyle Style() const { return style_; }
    bool Frame() const { return frame_; }

    // Taken only below MaxValue; Progress is raised to the value either way.
    void SetMinValue(int32_t value);
    // Taken only above MinValue; Progress is lowered to the value either way.
    void SetMaxValue(int32_t value);
    // Ignored outside MinValue..MaxValue; repaints only when the filled width changes.
    void SetProgress(int32_t value);
    // "%d" stands for the percentage and "%%" for a percent sign; "" shows no text.
    void SetText(const QString& text);
    void SetBackColor(const QColor& color);
    void SetBorderStyle(TBorderStyle style);
    void SetForeColor1(const QColor& color);
    void SetForeColor2(const QColor& color);
    void SetStyle(TykCoolGaugeStyle style);
    // A sunken one-pixel frame around the bar; the bar keeps the rest of the widget.
    void SetFrame(bool frame);
    // With it the colours come from the palette (the empty part Base, the bar Highlight,
    // the text HighlightedText over the bar and Text beside it) instead of the properties,
    // and follow it when it changes.
    void SetFollowPalette(bool follow);
    bool FollowPalette() const { return followPalette_; }

    // The colours the next paint uses: the empty part, the bar (its two ends), and the
    // percentage's text over each. The text takes its preferred colour where that is
    // readable (a contrast of 4.5:1 at least), else black or white, whichever reads better.
    QColor EmptyColor() const;
    QColor FillColor1() const;
    QColor FillColor2() const;
    QColor TextColorOverFill() const;
    QColor TextColorOverEmpty() const;

    // The bar's filled width in pixels and the percentage, as the next paint draws them.
    int FilledWidth() const;
    int Percentage() const;
    // How often the cached full bar was drawn: it is redrawn only for a new size, fore
    // colour or style.
    int BarRedraws() const { return barRedraws_; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void RebuildBar(int width, int height);
    int FilledWidthFor(int32_t progress) const;

    bool barStale_ = false;
    int32_t minValue_ = 0;
    int32_t maxValue_ = 100;
    int32_t progress_ = 0;
    QColor backColor_ = QColor(255, 255, 255);
    TBorderStyle borderStyle_ = bsSingle;
    QColor foreColor1_ = QColor(0, 0, 255);
    QColor foreColor2_ = QColor(255, 0, 0);
    TykCoolGaugeStyle style_ = sDithered;
    QString text_ = QStringLiteral("%d%%");
    bool frame_ = true;
    bool followPalette_ = false;
    QImage bar_;
    int barRedraws_ = 0;
};

// The contrast ratio of two colours as WCAG defines it, 1 to 21.
double ContrastRatio(const QColor& a, const QColor& b);
// `preferred` when it reads on every one of the backgrounds with a contrast of at least
// 4.5:1, else black or white, whichever has the better worst contrast over them.
QColor ReadableOn(const QColor& preferred, const QColor& background1, const QColor& background2);

// The gauge's text with "%d" replaced by the percentage and "%%" by '%'; any other '%'
// stays as it stands, so a text without a placeholder is shown unchanged.
QString FormatGaugeText(const QString& text, int percentage);

} // namespace ferrox
