#include "ui/ykCoolGauge/ykCoolGauge.h"

#include <QImage>
#include <QtTest>

using namespace ferrox;

namespace {

// Counts the paints a widget receives.
class TPaintCounter : public QObject {
public:
    explicit TPaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int Paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++Paints;
        return false;
    }
};

// A bare bar of the given size: no frame, no border and no text, so each pixel is bar or
// background.
void MakeBare(TykCoolGauge& gauge, int width, int height = 20) {
    gauge.SetFrame(false);
    gauge.SetBorderStyle(bsNone);
    gauge.SetText("");
    gauge.resize(width, height);
}

QImage Render(TykCoolGauge& gauge) {
    return gauge.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// The number of pixels from the left of row y that are not the background colour.
int FilledPixels(const QImage& image, int y, QColor back) {
    int x = 0;
    while (x < image.width() && image.pixelColor(x, y) != back)
        ++x;
    return x;
}

void Flush() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

} // namespace

class TGaugeTest : public QObject {
    Q_OBJECT
private slots:
    // Halves round to even, in width and in percentage alike; a full bar reads 100 %.
    void FillAndPercentageRoundHalfToEven() {
        TykCoolGauge gauge;
        MakeBare(gauge, 100);
        gauge.SetStyle(sSolid);
        const QColor white(255, 255, 255);
        gauge.SetMaxValue(8);

        gauge.SetProgress(1);
        QCOMPARE(gauge.Percentage(), 12);
        QImage image = Render(gauge);
        QCOMPARE(FilledPixels(image, 10, white), 12);
        QCOMPARE(image.pixelColor(0, 0), QColor(0, 0, 255));

        gauge.SetProgress(3);
        QCOMPARE(gauge.Percentage(), 38);
        QCOMPARE(FilledPixels(Render(gauge), 10, white), 38);

        gauge.SetProgress(8);
        QCOMPARE(gauge.Percentage(), 100);
        QCOMPARE(FilledPixels(Render(gauge), 19, white), 100);

        gauge.SetProgress(0);
        QCOMPARE(FilledPixels(Render(gauge), 10, white), 0);
    }

    // The percentage shows where "%d" stands; a text without one is drawn as it is.
    void TextShowsThePercentageOrStandsUnchanged() {
        QCOMPARE(FormatGaugeText("%d%%", 12), QString("12%"));
        QCOMPARE(FormatGaugeText("%d of %d", 5), QString("5 of 5"));
        QCOMPARE(FormatGaugeText("   1,536 /    3,072", 50), QString("   1,536 /    3,072"));
        QCOMPARE(FormatGaugeText("100%", 7), QString("100%"));
        QCOMPARE(FormatGaugeText("%s %", 7), QString("%s %"));

        // The same picture whether the text is the format or what it gives.
        TykCoolGauge formatted;
        TykCoolGauge plain;
        for (TykCoolGauge* gauge : {&formatted, &plain}) {
            MakeBare(*gauge, 120, 24);
            gauge->SetMaxValue(8);
            gauge->SetProgress(3);
        }
        formatted.SetText("%d%%");
        plain.SetText("38%");
        const QImage withText = Render(formatted);
        QCOMPARE(withText, Render(plain));
        plain.SetText("");
        QVERIFY(withText != Render(plain));
    }

    // A range that is empty or below zero paints an empty bar and 0 %, never a division by
    // zero or a bar filled backwards.
    void EmptyOrNegativeRangePaintsAnEmptyBar() {
        TykCoolGauge gauge;
        MakeBare(gauge, 100);
        gauge.SetMinValue(-10);
        gauge.SetMaxValue(0);
        QCOMPARE(gauge.MaxValue(), 0);
        QCOMPARE(gauge.FilledWidth(), 0);
        QCOMPARE(gauge.Percentage(), 0);
        gauge.SetText("%d%%");
        Render(gauge);
        gauge.SetText("");
        QCOMPARE(FilledPixels(Render(gauge), 10, Qt::white), 0);

        gauge.SetMaxValue(10);
        gauge.SetProgress(-5);
        QCOMPARE(gauge.Progress(), -5);
        QCOMPARE(gauge.FilledWidth(), 0);
        QCOMPARE(gauge.Percentage(), 0);
        QCOMPARE(FilledPixels(Render(gauge), 10, Qt::white), 0);
    }

    // The ramp: every channel a step per stripe from the start colour and resting at its
    // end value; narrow bars skip stripes but not steps.
    void DitheredRampStripes() {
        TykCoolGauge gauge;
        MakeBare(gauge, 512);
        QCOMPARE(gauge.Style(), sDithered);
        gauge.SetProgress(100);
        QImage image = Render(gauge);
        QCOMPARE(image.pixelColor(0, 5), QColor(1, 0, 254));
        QCOMPARE(image.pixelColor(1, 5), QColor(1, 0, 254));
        QCOMPARE(image.pixelColor(2, 5), QColor(2, 0, 253));
        QCOMPARE(image.pixelColor(511, 5), QColor(255, 0, 0));

        gauge.resize(100, 20);
        image = Render(gauge);
        QCOMPARE(image.pixelColor(0, 5), QColor(3, 0, 252));
        QCOMPARE(image.pixelColor(99, 5), QColor(255, 0, 0));

        gauge.resize(256, 20);
        gauge.SetForeColor1(QColor(10, 200, 100));
        gauge.SetForeColor2(QColor(20, 50, 100));
        image = Render(gauge);
        QCOMPARE(image.pixelColor(0, 5), QColor(11, 199, 100));
        QCOMPARE(image.pixelColor(20, 5), QColor(20, 179, 100));
        QCOMPARE(image.pixelColor(255, 5), QColor(20, 50, 100));
    }

    // The full bar is drawn again only for a new size, fore colour or style, and then
    // shows the change.
    void CachedBarRebuiltOnlyWhenItsLookChanges() {
        TykCoolGauge gauge;
        MakeBare(gauge, 100);
        gauge.SetProgress(100);
        Render(gauge);
        const int first = gauge.BarRedraws();
        gauge.SetBackColor(Qt::yellow);
        gauge.SetText("%d%%");
        gauge.SetBorderStyle(bsSingle);
        gauge.SetProgress(50);
        QImage image = Render(gauge);
        QCOMPARE(gauge.BarRedraws(), first);
        QCOMPARE(image.pixelColor(70, 10), QColor(Qt::yellow));

        gauge.SetBorderStyle(bsNone);
        gauge.SetText("");
        gauge.SetStyle(sSolid);
        QCOMPARE(Render(gauge).pixelColor(40, 10), QColor(0, 0, 255));
        QCOMPARE(gauge.BarRedraws(), first + 1);

        gauge.SetForeColor1(QColor(0, 128, 0));
        QCOMPARE(Render(gauge).pixelColor(40, 10), QColor(0, 128, 0));
        QCOMPARE(gauge.BarRedraws(), first + 2);

        gauge.resize(200, 20);
        image = Render(gauge);
        QCOMPARE(gauge.BarRedraws(), first + 3);
        QCOMPARE(FilledPixels(image, 10, Qt::yellow), 100);
    }

    // Values outside the range are refused without a paint; steps smaller than a pixel
    // are taken without one; the range setters pull Progress along.
    void SettersKeepTheRangeAndPaintOnlyVisibleChanges() {
        TykCoolGauge gauge;
        MakeBare(gauge, 100);
        gauge.show();
        QVERIFY(QTest::qWaitForWindowExposed(&gauge));
        TPaintCounter counter(&gauge);
        gauge.SetMaxValue(1000);
        gauge.SetProgress(100);
        Flush();
        QVERIFY(counter.Paints > 0);

        counter.Paints = 0;
        gauge.SetProgress(1001);
        gauge.SetProgress(-1);
        gauge.SetProgress(104); // 10.4 pixels: still 10
        Flush();
        QCOMPARE(gauge.Progress(), 104);
        QCOMPARE(counter.Paints, 0);
        gauge.SetProgress(106); // 10.6 pixels: 11
        Flush();
        QCOMPARE(counter.Paints, 1);

        gauge.SetMaxValue(50);
        QCOMPARE(gauge.MaxValue(), 50);
        QCOMPARE(gauge.Progress(), 50);
        // Not taken (not above MinValue), yet Progress follows it down.
        gauge.SetMinValue(10);
        gauge.SetMaxValue(5);
        QCOMPARE(gauge.MaxValue(), 50);
        QCOMPARE(gauge.Progress(), 5);
        // MinValue raises Progress.
        gauge.SetMinValue(20);
        QCOMPARE(gauge.MinValue(), 20);
        QCOMPARE(gauge.Progress(), 20);
        gauge.SetMinValue(60);
        QCOMPARE(gauge.MinValue(), 20);
    }

    // The sunken frame lies around the bar; the border line is drawn in the font colour.
    void FrameAndBorder() {
        TykCoolGauge gauge;
        QCOMPARE(gauge.size(), QSize(102, 22));
        gauge.SetText("");
        gauge.SetStyle(sSolid);
        gauge.SetMaxValue(8);
        gauge.SetProgress(1);
        QPalette palette = gauge.palette();
        palette.setColor(QPalette::Dark, QColor(128, 128, 128));
        palette.setColor(QPalette::Light, QColor(250, 250, 250));
        palette.setColor(QPalette::WindowText, QColor(0, 200, 0));
        gauge.setPalette(palette);

        QImage image = Render(gauge);
        QCOMPARE(image.pixelColor(0, 0), QColor(128, 128, 128));
        QCOMPARE(image.pixelColor(0, 21), QColor(128, 128, 128));
        QCOMPARE(image.pixelColor(101, 21), QColor(250, 250, 250));
        QCOMPARE(image.pixelColor(101, 1), QColor(250, 250, 250));
        QCOMPARE(image.pixelColor(1, 10), QColor(0, 200, 0)); // border
        QCOMPARE(image.pixelColor(5, 1), QColor(0, 200, 0));
        QCOMPARE(image.pixelColor(5, 10), QColor(0, 0, 255)); // bar
        // 12 pixels of a 100-pixel bar, counted from inside the frame.
        QCOMPARE(image.pixelColor(12, 10), QColor(0, 0, 255));
        QCOMPARE(image.pixelColor(13, 10), QColor(255, 255, 255));

        gauge.SetFrame(false);
        gauge.SetBorderStyle(bsNone);
        image = Render(gauge);
        QCOMPARE(image.pixelColor(0, 0), QColor(0, 0, 255));
        QCOMPARE(gauge.FilledWidth(), 13); // 102 / 8
    }
};

QTEST_MAIN(TGaugeTest)
#include "GaugeTest.moc"
