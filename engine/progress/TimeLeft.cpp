#include "engine/progress/TimeLeft.h"

#include <algorithm>
#include <cmath>

namespace ferrox {

void TTimeLeft::AddWindow(double seconds, double files, double bytes) {
    if (seconds <= 0 || files < 0 || bytes < 0)
        return;
    ff_ = Keep * ff_ + files * files;
    fb_ = Keep * fb_ + files * bytes;
    bb_ = Keep * bb_ + bytes * bytes;
    tf_ = Keep * tf_ + seconds * files;
    tb_ = Keep * tb_ + seconds * bytes;
    ++windows_;
}

std::optional<double> TTimeLeft::SecondsFor(double files, double bytes) const {
    if (windows_ < 2 || (ff_ <= 0 && bb_ <= 0))
        return std::nullopt;
    // Least squares for both costs, where the windows tell them apart (files of many
    // sizes, or a large file alone in some windows).
    double perFile = -1, perByte = -1;
    const double det = ff_ * bb_ - fb_ * fb_;
    if (det > 1e-3 * ff_ * bb_) {
        perFile = (tf_ * bb_ - tb_ * fb_) / det;
        perByte = (ff_ * tb_ - fb_ * tf_) / det;
    }
    if (perFile < 0 || perByte < 0) {
        // They cannot be told apart: the data phases' cost per byte, and the rest of the
        // time per file (or, without files, per byte after all).
        perByte = perByteHint_;
        if (ff_ > 0)
            perFile = std::max(0.0, (tf_ - perByte * fb_) / ff_);
        else
            perFile = 0, perByte = bb_ > 0 ? tb_ / bb_ : perByte;
    }
    const double seconds = perFile * files + perByte * bytes;
    if (!std::isfinite(seconds) || seconds < 0)
        return std::nullopt;
    return seconds;
}

} // namespace ferrox
