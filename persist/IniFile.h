#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ferrox {

// An INI text parsed once into memory. Section and key names are matched without regard
// to case; where a section or key comes more than once, its first line wins. Bytes are
// kept as they are: no code page, no escapes. A UTF-8 byte order mark before the first
// line is skipped, as editors may put one there.
class TIniReader {
public:
    TIniReader() = default;
    explicit TIniReader(std::string text);

    // A missing file reads as empty; anything else that cannot be read as a regular file
    // (no permission, a directory, a fifo, a device) throws TFileError naming the file.
    static TIniReader FromFile(const std::string& path);

    // The value with blanks around it dropped and one matching pair of quotes removed,
    // whatever its length (what the writer stores comes back whole); def when the key is
    // missing.
    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view def) const;
    // True for a non-zero integer (decimal, or hexadecimal after "$", "0x" or "0X"), false
    // for zero, def when missing or not a number.
    bool ReadBool(std::string_view section, std::string_view key, bool def) const;

    bool HasSection(std::string_view section) const;

private:
    const std::string_view* Find(std::string_view section, std::string_view key) const;

    // Names hashed and compared without regard to ASCII case, so lookups need no copies.
    struct TFoldHash {
        size_t operator()(std::string_view s) const noexcept;
    };
    struct TFoldEqual {
        bool operator()(std::string_view a, std::string_view b) const noexcept;
    };
    struct TEntry {
        uint64_t Hash; // of the section and the key
        uint32_t Section;
        std::string_view Key;
        std::string_view Value;
    };
    static uint64_t EntryHash(uint32_t section, std::string_view key);

    // Keys and values are views into the text, which stays put when the reader moves. The
    // entries sit in one array, found through an open-addressed table of their indices:
    // a large queue file costs a few cache misses per key, not a chain of nodes.
    std::unique_ptr<const std::string> text_;
    std::unordered_map<std::string_view, uint32_t, TFoldHash, TFoldEqual> sections_;
    std::vector<TEntry> entries_;
    std::vector<uint32_t> slots_; // entry index + 1; 0 is free; size a power of two
};

// Parses a flag's text: the integer's value when it is one (within 32 bits), else none.
std::optional<long long> ParseIniInteger(std::string_view text);

// Spaces and tabs: what a key, a section name or a value is trimmed of.
bool IsBlank(char c);
std::string_view TrimIniBlanks(std::string_view s);

// Builds a whole INI text in memory, lines ending in CR LF.
// False for a value that a line of the file cannot hold (a line feed or a NUL byte).
bool IsStorableValue(std::string_view value);

class TIniWriter {
public:
    void Reserve(size_t bytes) { text_.reserve(bytes); }
    void Section(std::string_view name);
    // Throws TFileError for a value that a line cannot hold (a line feed or
    // NUL byte). A value that reading would change (blanks at its ends, or a matching
    // pair of quotes around it) is written in double quotes, so it reads back unchanged.
    void WriteString(std::string_view key, std::string_view value);
    void WriteBool(std::string_view key, bool value);

    const std::string& Text() const { return text_; }
    // Empties the text, keeping its memory for what is written next.
    void Clear() { text_.clear(); }

private:
    std::string text_;
};

} // namespace ferrox
