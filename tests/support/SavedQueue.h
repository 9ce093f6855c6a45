#pragma once
#include <ostream>
#include <string>
#include <vector>

#include "persist/IniFile.h"

namespace ferrox::test {

// One pair of a queue file: FROM-n, TO-n, DONE-n and MOVE-n.
struct TSavedLine {
    std::string From; // with its "F:" or "D:"
    std::string To;
    bool Done = false;
    bool Move = false;
    bool operator==(const TSavedLine&) const = default;
};
using TSaved = std::vector<TSavedLine>;

[[maybe_unused]] inline std::ostream& operator<<(std::ostream& out, const TSavedLine& l) {
    return out << "{" << l.From << " -> " << l.To << (l.Done ? ", done" : "")
               << (l.Move ? ", move}" : "}");
}

// The pairs a queue file holds, in order; none when there is no file.
inline TSaved ReadSavedQueue(const std::string& file) {
    const TIniReader ini = TIniReader::FromFile(file);
    TSaved out;
    for (int n = 1;; ++n) {
        const std::string k = std::to_string(n);
        std::string from = ini.ReadString("Queue", "FROM-" + k, "");
        if (from.empty())
            return out;
        out.push_back({from, ini.ReadString("Queue", "TO-" + k, ""),
                       ini.ReadBool("Queue", "DONE-" + k, false),
                       ini.ReadBool("Queue", "MOVE-" + k, false)});
    }
}

// The text of a queue file holding these pairs.
inline std::string SavedQueueText(const TSaved& lines) {
    std::string text = "[Queue]\r\n";
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        text += "FROM-" + n + "=" + lines[i].From + "\r\nTO-" + n + "=" + lines[i].To +
                "\r\nDONE-" + n + "=" + (lines[i].Done ? "1" : "0") + "\r\nMOVE-" + n + "=" +
                (lines[i].Move ? "1" : "0") + "\r\n";
    }
    return text;
}

} // namespace ferrox::test
