#pragma once
#include <QProgressBar>
#include <QString>
#include <algorithm>
#include <cstdint>

namespace ferrox {

// Stands in for the window's own gauge widget with the same setters, so the window and
// its bridge need not change when that widget takes its place.
class TGaugePlaceholder : public QProgressBar {
public:
    explicit TGaugePlaceholder(QWidget* parent = nullptr) : QProgressBar(parent) {
        setTextVisible(true);
        setAlignment(Qt::AlignCenter);
        Show();
    }
    int32_t MinValue() const { return min_; }
    void SetMinValue(int32_t value) {
        min_ = value;
        Show();
    }
    void SetMaxValue(int32_t value) {
        max_ = value;
        Show();
    }
    void SetProgress(int32_t value) {
        progress_ = value;
        Show();
    }
    void SetText(const QString& text) {
        text_ = text;
        Show();
    }

private:
    void Show() {
        // An empty range (a 0-byte file) is an empty bar at 0 %, never a division by zero.
        const int64_t span = int64_t(max_) - min_;
        const int64_t done = std::clamp<int64_t>(int64_t(progress_) - min_, 0, span > 0 ? span : 0);
        const int percent = span > 0 ? int(done * 100 / span) : 0;
        setRange(0, 1000);
        setValue(span > 0 ? int(done * 1000 / span) : 0);
        QString shown = text_;
        if (shown.contains("%d"))
            shown = shown.replace("%d", QString::number(percent)).replace("%%", "%");
        setFormat(shown);
    }
    int32_t min_ = 0;
    int32_t max_ = 100;
    int32_t progress_ = 0;
    QString text_ = "%d%%";
};

} // namespace ferrox
