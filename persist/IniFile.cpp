#include "persist/IniFile.h"

#include "platform/SafeFile.h"

#include <cerrno>

namespace ferrox {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view TrimIniBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

namespace {

unsigned char FoldChar(char c) {
    return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

int DigitValue(char c, int base) {
    int v = -1;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    return v < base ? v : -1;
}

} // namespace

size_t TIniReader::TFoldHash::operator()(std::string_view s) const noexcept {
    // FNV-1a over the folded bytes.
    size_t h = 14695981039346656037ull;
    for (char c : s) {
        h ^= FoldChar(c);
        h *= 1099511628211ull;
    }
    return h;
}

bool TIniReader::TFoldEqual::operator()(std::string_view a, std::string_view b) const noexcept {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldChar(a[i]) != FoldChar(b[i]))
            return false;
    return true;
}

uint64_t TIniReader::EntryHash(uint32_t section, std::string_view key) {
    // The finaliser of MurmurHash3 spreads the bits, so the table may use the low ones.
    uint64_t h = TFoldHash()(key) ^ (section * 0x9E3779B97F4A7C15ull);
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    return h;
}

TIniReader::TIniReader(std::string content)
    : text_(std::make_unique<const std::string>(std::move(content))) {
    const std::string_view text = *text_;
    constexpr uint32_t noSection = UINT32_MAX; // lines before the first section
    uint32_t current = noSection;
    constexpr std::string_view bom = "\xEF\xBB\xBF";
    size_t pos = text.substr(0, bom.size()) == bom ? bom.size() : 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        // A NUL ends the line's text, as it would end a C string.
        if (size_t nul = line.find('\0'); nul != std::string_view::npos)
            line = line.substr(0, nul);
        line = TrimIniBlanks(line);
        if (line.empty())
            continue;
        if (line.front() == '[') {
            size_t close = line.rfind(']');
            if (close == std::string_view::npos)
                continue;
            // A section named again adds to the first one of that name.
            auto id = static_cast<uint32_t>(sections_.size());
            current =
                sections_.try_emplace(TrimIniBlanks(line.substr(1, close - 1)), id).first->second;
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string_view::npos || current == noSection)
            continue;
        std::string_view key = TrimIniBlanks(line.substr(0, eq));
        if (key.empty())
            continue;
        std::string_view value = TrimIniBlanks(line.substr(eq + 1));
        if (value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        entries_.push_back({EntryHash(current, key), current, key, value});
    }

    size_t size = 16;
    while (size < entries_.size() * 2)
        size *= 2;
    slots_.assign(size, 0);
    const size_t mask = size - 1;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const TEntry& e = entries_[i];
        for (size_t slot = e.Hash & mask;; slot = (slot + 1) & mask) {
            if (slots_[slot] == 0) {
                slots_[slot] = static_cast<uint32_t>(i + 1);
                break;
            }
            const TEntry& other = entries_[slots_[slot] - 1];
            // The first line of a key wins; a later one is never found.
            if (other.Hash == e.Hash && other.Section == e.Section &&
                TFoldEqual()(other.Key, e.Key))
                break;
        }
    }
}

TIniReader TIniReader::FromFile(const std::string& path) {
    return TIniReader(ReadWholeFile(path));
}

const std::string_view* TIniReader::Find(std::string_view section, std::string_view key) const {
    auto s = sections_.find(section);
    if (s == sections_.end() || slots_.empty())
        return nullptr;
    const uint32_t id = s->second;
    const uint64_t hash = EntryHash(id, key);
    const size_t mask = slots_.size() - 1;
    for (size_t slot = hash & mask; slots_[slot] != 0; slot = (slot + 1) & mask) {
        const TEntry& e = entries_[slots_[slot] - 1];
        if (e.Hash == hash && e.Section == id && TFoldEqual()(e.Key, key))
            return &e.Value;
    }
    return nullptr;
}

std::string TIniReader::ReadString(std::string_view section, std::string_view key,
                                   std::string_view def) const {
    const std::string_view* value = Find(section, key);
    return std::string(value ? *value : def);
}

bool TIniReader::ReadBool(std::string_view section, std::string_view key, bool def) const {
    const std::string_view* value = Find(section, key);
    if (!value)
        return def;
    std::optional<long long> n = ParseIniInteger(*value);
    return n ? *n != 0 : def;
}

bool TIniReader::HasSection(std::string_view section) const {
    return sections_.count(section) != 0;
}

std::optional<long long> ParseIniInteger(std::string_view s) {
    s = TrimIniBlanks(s);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    int base = 10;
    if (!s.empty() && s.front() == '$') {
        base = 16;
        s.remove_prefix(1);
    } else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty())
        return std::nullopt;
    // Hexadecimal covers 32 bits; decimal the range of a signed 32-bit integer.
    const unsigned long long limit =
        base == 16 ? 0xFFFFFFFFull : (negative ? 2147483648ull : 2147483647ull);
    unsigned long long n = 0;
    for (char c : s) {
        int d = DigitValue(c, base);
        if (d < 0)
            return std::nullopt;
        n = n * static_cast<unsigned>(base) + static_cast<unsigned>(d);
        if (n > limit)
            return std::nullopt;
    }
    long long v = static_cast<long long>(n);
    return negative ? -v : v;
}

void TIniWriter::Section(std::string_view name) {
    text_ += '[';
    text_ += name;
    text_ += "]\r\n";
}

bool IsStorableValue(std::string_view value) {
    return value.find('\n') == std::string_view::npos && value.find('\0') == std::string_view::npos;
}

void TIniWriter::WriteString(std::string_view key, std::string_view value) {
    if (!IsStorableValue(value))
        throw TFileError("The value of " + std::string(key) +
                             " holds a line feed or NUL byte and cannot be stored",
                         EINVAL);
    bool quote = !value.empty() &&
                 (IsBlank(value.front()) || IsBlank(value.back()) ||
                  (value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front()));
    text_ += key;
    text_ += '=';
    if (quote)
        text_ += '"';
    text_ += value;
    if (quote)
        text_ += '"';
    text_ += "\r\n";
}

void TIniWriter::WriteBool(std::string_view key, bool value) {
    text_ += key;
    text_ += value ? "=1\r\n" : "=0\r\n";
}

} // namespace ferrox
