#include "ui/ykCoolGauge/GaugeAccessible.h"

#include "ui/ykCoolGauge/ykCoolGauge.h"

#include <QAccessibleWidget>

namespace ferrox {

namespace {

// The gauge as a progress bar with its percentage as the value, 0 to 100: the widget's
// own range is scaled to fit 32 bits and means nothing to a listener.
class TGaugeAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit TGaugeAccessible(TykCoolGauge* gauge)
        : QAccessibleWidget(gauge, QAccessible::ProgressBar) {}

    TykCoolGauge* Gauge() const { return static_cast<TykCoolGauge*>(widget()); }

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) {
            // What the bar shows: the percentage, or the byte counts that replace it.
            const QString shown = FormatGaugeText(Gauge()->Text(), Gauge()->Percentage());
            return shown.isEmpty() ? QString::number(Gauge()->Percentage()) + "%" : shown;
        }
        return QAccessibleWidget::text(t);
    }

    QVariant currentValue() const override { return Gauge()->Percentage(); }
    void setCurrentValue(const QVariant&) override {} // read only
    QVariant maximumValue() const override { return 100; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }
};

QAccessibleInterface* GaugeFactory(const QString&, QObject* object) {
    if (auto* gauge = qobject_cast<TykCoolGauge*>(object))
        return new TGaugeAccessible(gauge);
    return nullptr;
}

} // namespace

void InstallGaugeAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(GaugeFactory);
        return true;
    }();
    (void)installed;
}

} // namespace ferrox
