#pragma once

namespace ferrox {

// Makes every TykCoolGauge a progress bar to assistive technology (its role, value and
// percentage text), which a self-drawn widget is not by itself. Safe to call repeatedly.
void InstallGaugeAccessibility();

} // namespace ferrox
