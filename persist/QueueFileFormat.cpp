#include "persist/QueueFileFormat.h"

#include "platform/SafeFile.h"
#include "platform/SysError.h"
#include "queue/LineStatus.h"

#include <cerrno>
#include <charconv>
#include <memory>
#include <optional>
#include <unistd.h>

namespace ferrox {

namespace {

// How much text is gathered before it is handed on, and read at a time.
constexpr size_t BlockSize = size_t(1) << 20;

// A source line from its FROM value and the rest of its keys, as the file means them.
std::optional<TQueueLine> LineOf(std::string fromValue, std::string to, bool done, bool move) {
    if (fromValue.size() <= 2 || fromValue[1] != ':')
        return std::nullopt;
    TQueueLine read;
    read.To = std::move(to);
    read.Done = done;
    read.Move = move;
    if (fromValue[0] == 'D') {
        read.Status = done ? lsDirDone : lsDirWaiting;
        read.From = fromValue.substr(2);
    } else if (fromValue[0] == 'F') {
        read.Status = done ? lsFileDone : lsFileWaiting;
        read.From = fromValue.substr(2);
    } else {
        read.Status = lsFileWaiting;
        read.From = std::move(fromValue);
    }
    return read;
}

bool Flag(std::string_view value) {
    std::optional<long long> n = ParseIniInteger(value);
    return n && *n != 0;
}

// The lines of an open file, read a block at a time from its start.
class TBlockLines {
public:
    // The block is left uninitialised: a small file's read touches only the pages it fills.
    TBlockLines(int fd, const std::string& path)
        : fd_(fd), path_(path), block_(std::make_unique_for_overwrite<char[]>(BlockSize)) {}
    // The next line without its line feed; false at the end.
    bool Next(std::string_view& line) {
        if (carried_) {
            carry_.clear();
            carried_ = false;
        }
        for (;;) {
            const std::string_view rest(block_.get() + pos_, len_ - pos_);
            const size_t nl = rest.find('\n');
            if (nl != std::string_view::npos) {
                pos_ += nl + 1;
                if (carry_.empty()) {
                    line = rest.substr(0, nl);
                    return true;
                }
                carry_.append(rest.substr(0, nl));
                carried_ = true;
                line = carry_;
                return true;
            }
            carry_.append(rest);
            pos_ = len_ = 0;
            if (!Fill()) {
                carried_ = true;
                line = carry_;
                return !carry_.empty();
            }
        }
    }

private:
    bool Fill() {
        for (;;) {
            const ssize_t n = ::pread(fd_, block_.get(), BlockSize, offset_);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                throw TFileError("Unable to read " + path_ + ": " + SysErrorMessage(errno), errno);
            offset_ += n;
            len_ = size_t(n);
            return n > 0;
        }
    }
    int fd_;
    const std::string& path_;
    std::unique_ptr<char[]> block_;
    size_t pos_ = 0, len_ = 0;
    off_t offset_ = 0;
    std::string carry_;
    bool carried_ = false;
};

// Walks a file of the form this program writes; false as soon as it is not one. With
// `line`, hands out the lines on the way.
bool WalkCanonical(int fd, const std::string& path, const std::function<void(TQueueLine&&)>* line) {
    TBlockLines lines(fd, path);
    std::string_view text;
    // The next line that is not blank, trimmed as an INI reader trims it; false at the end
    // or at a line that no reader of the whole text would read as this one does.
    bool first = true, ended = false;
    // A line read ahead for a key that was not there, and kept for the next.
    std::optional<std::string_view> held;
    auto next = [&](std::string_view& out) {
        if (held) {
            out = *held;
            held.reset();
            return true;
        }
        while (!ended && lines.Next(text)) {
            if (first && text.substr(0, 3) == "\xEF\xBB\xBF")
                text.remove_prefix(3);
            first = false;
            if (!text.empty() && text.back() == '\r')
                text.remove_suffix(1);
            if (text.find('\0') != std::string_view::npos)
                return false;
            out = TrimIniBlanks(text);
            if (!out.empty())
                return true;
        }
        ended = true;
        return false;
    };
    std::string_view header;
    if (!next(header) || header != "[Queue]")
        return false;
    // One key of group n: its value, unquoted as the reader does. A group's TO, DONE and MOVE
    // may be left out (a queue written by hand): absent, they read as empty, the next line
    // kept for the next key. Given later instead, they end the walk where they stand.
    std::string key;
    auto value = [&](const char* name, const std::string& number, std::string_view& out,
                     bool optional = false) {
        std::string_view l;
        out = {};
        if (!next(l))
            return optional && ended;
        const size_t eq = l.find('=');
        key.assign(name).append(number);
        if (eq == std::string_view::npos || l.front() == '[' ||
            TrimIniBlanks(l.substr(0, eq)) != key) {
            held = l;
            return optional;
        }
        out = TrimIniBlanks(l.substr(eq + 1));
        if (out.size() >= 2 && (out.front() == '"' || out.front() == '\'') &&
            out.back() == out.front())
            out = out.substr(1, out.size() - 2);
        return true;
    };
    for (uint64_t n = 1;; ++n) {
        const std::string number = std::to_string(n);
        std::string_view v;
        // The end of the file after a whole group is the end of the queue; anything else
        // there is for the reader of the whole text.
        if (!value("FROM-", number, v))
            return ended;
        // An empty FROM ends the queue for any reader: what follows is never read.
        if (v.empty())
            return true;
        std::string from(v);
        std::string to;
        bool done = false, move = false;
        if (!value("TO-", number, v, true))
            return false;
        to.assign(v);
        if (!value("DONE-", number, v, true))
            return false;
        done = Flag(v);
        if (!value("MOVE-", number, v, true))
            return false;
        move = Flag(v);
        if (line)
            if (std::optional<TQueueLine> read = LineOf(std::move(from), std::move(to), done, move))
                (*line)(std::move(*read));
    }
}

} // namespace

TQueueTextWriter::TQueueTextWriter(TSink sink) : sink_(std::move(sink)) {
    text_.Reserve(BlockSize + 4096);
    text_.Section(QueueSection);
}

void TQueueTextWriter::Add(std::string_view from, std::string_view to, int32_t status, bool move,
                           bool done) {
    if (!IsStorableValue(from) || !IsStorableValue(to)) {
        Unstorable.emplace_back(from);
        return;
    }
    // The keys and the marked value are made in strings kept for the next line: a queue of
    // a million lines is written without an allocation a line.
    char digits[24];
    const char* end = std::to_chars(digits, digits + sizeof digits, ++Written).ptr;
    const std::string_view n(digits, size_t(end - digits));
    value_.assign(IsDirStatus(status) ? "D:" : "F:").append(from);
    text_.WriteString(key_.assign("FROM-").append(n), value_);
    text_.WriteString(key_.assign("TO-").append(n), to);
    text_.WriteBool(key_.assign("DONE-").append(n), done);
    text_.WriteBool(key_.assign("MOVE-").append(n), move);
    if (text_.Text().size() >= BlockSize)
        Pass();
}

void TQueueTextWriter::Pass() {
    if (error_ == 0 && !text_.Text().empty())
        error_ = sink_(text_.Text());
    text_.Clear();
}

int TQueueTextWriter::Finish() {
    Pass();
    return error_;
}

TQueueText QueueText(const std::vector<TQueueLine>& lines) {
    TQueueText out;
    TQueueTextWriter writer([&](std::string_view piece) {
        out.Text += piece;
        return 0;
    });
    for (const TQueueLine& line : lines)
        writer.Add(line.From, line.To, line.Status, line.Move, line.Done);
    writer.Finish();
    out.Written = writer.Written;
    out.Unstorable = std::move(writer.Unstorable);
    return out;
}

void ForEachQueueLine(const TIniReader& ini, const std::function<void(TQueueLine&&)>& line) {
    for (uint64_t n = 1;; ++n) {
        const std::string number = std::to_string(n);
        std::string fromValue = ini.ReadString(QueueSection, "FROM-" + number, "");
        if (fromValue.empty())
            break;
        if (fromValue.size() <= 2 || fromValue[1] != ':')
            continue;
        if (std::optional<TQueueLine> read =
                LineOf(std::move(fromValue), ini.ReadString(QueueSection, "TO-" + number, ""),
                       ini.ReadBool(QueueSection, "DONE-" + number, false),
                       ini.ReadBool(QueueSection, "MOVE-" + number, false)))
            line(std::move(*read));
    }
}

bool CanonicalQueueFile(int fd, const std::string& path) {
    return WalkCanonical(fd, path, nullptr);
}

void ForEachCanonicalQueueLine(int fd, const std::string& path,
                               const std::function<void(TQueueLine&&)>& line) {
    if (!WalkCanonical(fd, path, &line))
        throw TFileError("Unable to read " + path + ": it was changed while it was read", EAGAIN);
}

} // namespace ferrox
