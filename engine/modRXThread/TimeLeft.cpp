#include "engine/modRXThread/TimeLeft.h"

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
    // Least squares for both costs; where the windows cannot tell them apart (every
    // window the same mix) or one comes out negative, the other explains the time alone.
    double perFile = 0, perByte = 0;
    const double det = ff_ * bb_ - fb_ * fb_;
    if (det > 1e-9 * ff_ * bb_) {
        perFile = (tf_ * bb_ - tb_ * fb_) / det;
        perByte = (ff_ * tb_ - fb_ * tf_) / det;
    }
    if (!(det > 1e-9 * ff_ * bb_) || perFile < 0 || perByte < 0) {
        // One cost alone: the one that explains more of the time.
        const double fileOnly = ff_ > 0 ? tf_ / ff_ : 0;
        const double byteOnly = bb_ > 0 ? tb_ / bb_ : 0;
        const double fileFit = ff_ > 0 ? tf_ * tf_ / ff_ : 0;
        const double byteFit = bb_ > 0 ? tb_ * tb_ / bb_ : 0;
        perFile = fileFit >= byteFit ? fileOnly : 0;
        perByte = fileFit >= byteFit ? 0 : byteOnly;
    }
    const double seconds = perFile * files + perByte * bytes;
    if (!std::isfinite(seconds) || seconds < 0)
        return std::nullopt;
    return seconds;
}

} // namespace ferrox
