#pragma once
#include <QFontMetricsF>
#include <array>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>

namespace ferrox {

// The widest of a list's paths as the list draws them, kept up to date path by path as
// lines come and go. Shaping a text costs several microseconds, too much for each of
// 100,000 lines: a path is measured as the sum of its characters' advances, and only a
// path holding characters whose look depends on their neighbours (combining marks,
// joining scripts, controls) is shaped whole. The pixel or two kerning may add to a
// path is left to the room a view keeps after its text.
class TPathWidths {
public:
    // Forgets every path: their widths in the old font no longer count.
    void SetFont(const QFont& font);
    bool HasFont() const { return metrics_.has_value(); }

    // A path's width as it counts here, in pixels (before SetFont: 0).
    double Width(const std::string& path);
    void Add(const std::string& path);
    void Remove(const std::string& path);
    void Clear() { counts_.clear(); }
    // The widest path held, rounded up; 0 when none.
    int Widest() const { return counts_.empty() ? 0 : counts_.rbegin()->first; }

private:
    // A character's advance, or a negative value when it must be shaped with its text.
    double Advance(char16_t c);

    std::optional<QFontMetricsF> metrics_;
    std::array<double, 128> ascii_{};
    std::unordered_map<char16_t, double> others_;
    std::map<int, size_t> counts_; // rounded width: paths of that width
};

} // namespace ferrox
