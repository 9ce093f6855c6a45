#pragma once
#include <QIcon>

namespace ferrox {

// The program's icon: the scalable drawing where Qt can render SVG, else its bitmaps.
QIcon FerroxIcon();

} // namespace ferrox
