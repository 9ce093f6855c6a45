#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "persist/IniFile.h"

namespace ferrox {

inline constexpr const char* QueueSection = "Queue";

// One source line of the queue file with the destination at its position.
struct TQueueLine {
    std::string From;
    std::string To;     // empty: no destination line at this position
    int32_t Status = 0; // the source line's; the file keeps only file or directory
    bool Move = false;
    bool Done = false; // a done source, and its destination done with it
};

// A queue's text: section "Queue", then FROM-n, TO-n, DONE-n and MOVE-n for each line,
// numbered from 1 without gaps.
struct TQueueText {
    std::string Text;
    size_t Written = 0;                  // the lines the text holds
    std::vector<std::string> Unstorable; // the source paths of the lines left out
};

// A line break cannot stand in a line of the file. Such a pair is left out, with the
// numbers closing up behind it, so one odd name (a directory's entry, say) neither stops
// the whole queue from being saved nor shifts the pairing of the lines after it.
TQueueText QueueText(const std::vector<TQueueLine>& lines);

// The same text made a piece at a time and handed to `sink` (a write into the file, say)
// whenever about a MiB has come together, so a queue of millions of lines never stands
// whole in memory as text. The first error the sink returns ends the writing; Finish
// returns it.
class TQueueTextWriter {
public:
    using TSink = std::function<int(std::string_view)>;
    explicit TQueueTextWriter(TSink sink);
    void Add(std::string_view from, std::string_view to, int32_t status, bool move, bool done);
    int Finish();

    size_t Written = 0;
    std::vector<std::string> Unstorable;

private:
    void Pass();
    TSink sink_;
    TIniWriter text_;
    int error_ = 0;
    std::string key_, value_;
};

// The lines of a queue's text in their order, up to the first number whose FROM value is
// missing or empty. "D:" and "F:" mark a directory or a file; a FROM value that is too
// short or has no ':' second is no line (its TO goes with it); one with another mark is a
// waiting file line of the whole value.
void ForEachQueueLine(const TIniReader& ini, const std::function<void(TQueueLine&&)>& line);

// The queue file as this program writes it ("[Queue]" first, then FROM-n, TO-n, DONE-n and
// MOVE-n for n = 1, 2, ... and nothing else) is read a block at a time from an open file,
// never whole: what ForEachQueueLine would give for it, line by line. Any other text
// (edited by hand, from another version) is no such file; the whole-text reader takes it.
//  - CanonicalQueueFile reads the file to its end and says whether it is one (throws
//    TFileError when it cannot be read);
//  - ForEachCanonicalQueueLine then hands out its lines; it throws TFileError when the
//    file is no longer one (written in place meanwhile) or cannot be read.
bool CanonicalQueueFile(int fd, const std::string& path);
void ForEachCanonicalQueueLine(int fd, const std::string& path,
                               const std::function<void(TQueueLine&&)>& line);

} // namespace ferrox
