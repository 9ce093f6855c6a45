#include "ui/lists/PathWidths.h"

#include "ui/common/PathText.h"

#include <cmath>

namespace ferrox {

namespace {

// Whether a character is drawn the same whatever stands beside it.
bool StandsAlone(QChar c) {
    if (c.isSurrogate() || c.isMark() || c.category() == QChar::Other_Control ||
        c.category() == QChar::Other_Format)
        return false;
    const char16_t u = c.unicode();
    switch (c.script()) {
    case QChar::Script_Common:
    case QChar::Script_Latin:
    case QChar::Script_Greek:
    case QChar::Script_Cyrillic:
    case QChar::Script_Armenian:
    case QChar::Script_Georgian:
    case QChar::Script_Han:
    case QChar::Script_Hiragana:
    case QChar::Script_Katakana:
    case QChar::Script_Bopomofo:
        return true;
    case QChar::Script_Hangul: // syllables and the jamo that never join
        return (u >= 0xAC00 && u <= 0xD7A3) || (u >= 0x3130 && u <= 0x318F);
    default:
        return false;
    }
}

} // namespace

void TPathWidths::SetFont(const QFont& font) {
    metrics_.emplace(font);
    others_.clear();
    counts_.clear();
    for (char16_t c = 0; c < 128; ++c)
        ascii_[c] = StandsAlone(QChar(c)) ? metrics_->horizontalAdvance(QChar(c)) : -1;
}

double TPathWidths::Advance(char16_t c) {
    auto [it, added] = others_.try_emplace(c, -1.0);
    if (added && StandsAlone(QChar(c)))
        it->second = metrics_->horizontalAdvance(QChar(c));
    return it->second;
}

double TPathWidths::Width(const std::string& path) {
    if (!metrics_)
        return 0;
    double width = 0;
    bool plain = true;
    for (unsigned char byte : path) {
        const double advance = byte < 128 ? ascii_[byte] : -1;
        if (advance < 0) {
            plain = false;
            break;
        }
        width += advance;
    }
    if (plain)
        return width;
    const QString text = ShownPath(path);
    width = 0;
    for (QChar c : text) {
        const double advance = Advance(c.unicode());
        if (advance < 0)
            return metrics_->horizontalAdvance(text);
        width += advance;
    }
    return width;
}

void TPathWidths::Add(const std::string& path) {
    if (metrics_)
        ++counts_[static_cast<int>(std::ceil(Width(path)))];
}

void TPathWidths::Remove(const std::string& path) {
    if (!metrics_)
        return;
    auto it = counts_.find(static_cast<int>(std::ceil(Width(path))));
    if (it != counts_.end() && --it->second == 0)
        counts_.erase(it);
}

} // namespace ferrox
