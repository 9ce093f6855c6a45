#pragma once
#include <QLabel>

namespace ferrox {

// A one-line label that shows a text too long for it with "…" in its middle, so both the
// start and the end of a path stay in view; text() and what a screen reader reads stay
// whole.
class TElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit TElidedLabel(QWidget* parent = nullptr) : QLabel(parent) {}
    // The text as the next paint shows it.
    QString ShownText() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QRect TextRect() const;
};

} // namespace ferrox
