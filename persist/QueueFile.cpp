#include "persist/QueueFile.h"

#include "diag/ErrorLog.h"
#include "diag/StatusLine.h"
#include "diag/Trace.h"
#include "persist/ExePath.h"
#include "persist/IniFile.h"
#include "persist/SafeFile.h"

#include <cerrno>
#include <exception>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ferrox {

namespace {

// The window gets a chance to repaint this often during a long file; once per line would
// cost more than the line itself.
constexpr uint32_t LinesPerEventPump = 256;

constexpr const char* QueueSection = "Queue";

bool PathExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

class TBusyScope {
public:
    explicit TBusyScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~TBusyScope() { flag_ = false; }
    TBusyScope(const TBusyScope&) = delete;
    TBusyScope& operator=(const TBusyScope&) = delete;

private:
    bool& flag_;
};

} // namespace

struct TQueueFile::TSavedLine {
    std::string From;
    std::string To;
    int32_t Status;
    bool Move;
};

std::string QueueBackupName(const std::string& queueFile) {
    size_t slash = queueFile.rfind('/');
    std::string name = slash == std::string::npos ? queueFile : queueFile.substr(slash + 1);
    size_t dot = name.rfind('.');
    return (dot == std::string::npos ? std::string() : name.substr(0, dot + 1)) + "BAK";
}

TQueueFile::TQueueFile(TCopyQueue& queue, const std::atomic<bool>& copyRunning)
    : QueueFileName(ExePath() + "QUEUE.INI"), queue_(queue), copyRunning_(copyRunning) {}

void TQueueFile::Pump() {
    if (ProcessEvents)
        ProcessEvents();
}

void TQueueFile::BackupForEmptyQueue(const std::string& file) {
    if (!PathExists(file))
        return;
    std::string backup = QueueBackupName(file);
    // The queue file under the backup's own name is its own backup already.
    if (SameFile(file, backup))
        return;
    if (::rename(file.c_str(), backup.c_str()) == 0)
        return;
    // The working directory may lie on another file system (EXDEV) or refuse the name:
    // copy instead. The backup is a courtesy; the user asked for an empty queue, so the
    // old file goes whether or not a copy could be kept.
    LinkOrCopyAs(file, backup);
    ::unlink(file.c_str());
}

void TQueueFile::SaveQueue(bool Force, bool ShowWait, const std::string& FileName) {
    if (busy_)
        return;
    TTraceScope trace("SaveQueue");
    TLineList& from = queue_.lstCopyFrom;
    TLineList& to = queue_.lstCopyTo;
    if (from.AllNodeCount() > AutosaveLineLimit && !Force) {
        ShowStatus(MsgAutosaveDisabled);
        return;
    }
    if (!FileName.empty())
        QueueFileName = FileName;
    TBusyScope busy(busy_);
    bool waitShown = false;
    try {
        const std::string file = QueueFileName;

        // One consistent picture of the pairs: a copy run may delete a pair meanwhile.
        std::vector<TSavedLine> lines;
        {
            std::lock_guard pair(queue_.PairMutex);
            lines.reserve(from.AllNodeCount());
            PVirtualNode dest = to.FirstNode();
            for (PVirtualNode src = from.FirstNode(); src; src = from.NextNode(src)) {
                lines.push_back({TLineList::NodeData(src)->Path,
                                 dest ? TLineList::NodeData(dest)->Path : std::string(),
                                 TCopyQueue::StatusOf(src), TCopyQueue::IsMove(src)});
                if (dest)
                    dest = to.NextNode(dest);
            }
        }

        if (lines.empty()) {
            BackupForEmptyQueue(file);
            if (!FileName.empty() && !copyRunning_)
                ShowStatus(MsgNothingToSave);
            return;
        }
        if (!copyRunning_)
            ShowStatus("");
        if (ShowWait && PleaseWait) {
            PleaseWait->ShowPleaseWait();
            waitShown = true;
            Pump();
        }

        TIniWriter ini;
        ini.Reserve(lines.size() * 64);
        ini.Section(QueueSection);
        std::string prefix;
        size_t written = 0;
        std::vector<std::string> unstorable;
        for (size_t i = 0; i < lines.size(); ++i) {
            const TSavedLine& line = lines[i];
            // A line break cannot stand in a line of the file. Such a pair is left out,
            // with the numbers closing up behind it, so one odd name (a directory's
            // entry, say) neither stops the whole queue from being saved nor shifts the
            // pairing of the lines after it.
            if (!IsStorableValue(line.From) || !IsStorableValue(line.To)) {
                unstorable.push_back(line.From);
                continue;
            }
            const std::string n = std::to_string(++written);
            prefix = IsDirStatus(line.Status) ? "D:" : "F:";
            ini.WriteString("FROM-" + n, prefix + line.From);
            ini.WriteString("TO-" + n, line.To);
            ini.WriteBool("DONE-" + n, IsCompletedStatus(line.Status));
            ini.WriteBool("MOVE-" + n, line.Move);
            if ((i + 1) % LinesPerEventPump == 0)
                Pump();
        }

        // The old file stays where it is until the new one replaces it in one step; the
        // backup is a second name for (or a copy of) the old content, made when it can be.
        if (PathExists(file)) {
            std::string backup = QueueBackupName(file);
            if (!SameFile(file, backup))
                LinkOrCopyAs(file, backup);
        }
        ReplaceFileContent(file, ini.Text());

        for (const std::string& path : unstorable)
            LogError("Line not saved, its path holds a line break [" + path + "]");
        if (!FileName.empty() && !copyRunning_)
            ShowStatus("Queue Saved [" + std::to_string(written) + " records]");
    } catch (const std::exception& e) {
        LogError(std::string("Exception Error: ") + e.what());
    } catch (...) {
        LogError("Exception Error: unknown exception");
    }
    if (waitShown)
        PleaseWait->HidePleaseWait();
}

void TQueueFile::LoadQueue(bool ShowWait, const std::string& FileName) {
    if (busy_)
        return;
    // The run walks these very lines; emptying them under it would take its work away.
    if (copyRunning_) {
        ShowStatus(MsgLoadWhileRunning);
        return;
    }
    TTraceScope trace("LoadQueue");
    if (!FileName.empty())
        QueueFileName = FileName;
    TBusyScope busy(busy_);
    TLineList& from = queue_.lstCopyFrom;
    TLineList& to = queue_.lstCopyTo;
    from.BeginBatch();
    to.BeginBatch();
    bool waitShown = false;
    try {
        const std::string file = QueueFileName;
        bool missing = false;
        // Parsed before the lists are touched: a file that cannot be read costs no lines.
        TIniReader ini(ReadWholeFile(file, &missing));
        if (missing) {
            if (!FileName.empty() && !copyRunning_)
                ShowStatus(MsgLoadFileMissing);
        } else {
            from.RemoveAllNodes();
            to.RemoveAllNodes();
            ShowStatus("");
            if (ShowWait && PleaseWait) {
                PleaseWait->ShowPleaseWait();
                waitShown = true;
                Pump();
            }
            for (uint64_t n = 1;; ++n) {
                const std::string number = std::to_string(n);
                // Room for the prefix, so that a path of the longest length stays whole.
                std::string fromValue =
                    ini.ReadString(QueueSection, "FROM-" + number, "", IniMaxValueLength + 2);
                if (fromValue.empty())
                    break;
                if (fromValue.size() > 2 && fromValue[1] == ':') {
                    std::string toValue = ini.ReadString(QueueSection, "TO-" + number, "");
                    bool done = ini.ReadBool(QueueSection, "DONE-" + number, false);
                    bool move = ini.ReadBool(QueueSection, "MOVE-" + number, false);
                    int32_t status = lsFileWaiting;
                    std::string path;
                    if (fromValue[0] == 'D') {
                        status = done ? lsDirDone : lsDirWaiting;
                        path = fromValue.substr(2);
                    } else if (fromValue[0] == 'F') {
                        status = done ? lsFileDone : lsFileWaiting;
                        path = fromValue.substr(2);
                    } else {
                        path = fromValue.substr(0, IniMaxValueLength);
                    }
                    queue_.AddItem(from, path, move, status);
                    if (!toValue.empty())
                        queue_.AddItem(to, toValue, false, done ? lsDirDone : lsDirWaiting);
                }
                if (n % LinesPerEventPump == 0)
                    Pump();
            }
            if (waitShown) {
                PleaseWait->HidePleaseWait();
                waitShown = false;
            }
            if (!copyRunning_)
                ShowStatus("Queue Loaded [" + std::to_string(from.AllNodeCount()) + " records]");
        }
    } catch (const std::exception& e) {
        LogError(std::string("Exception Error: ") + e.what());
    } catch (...) {
        LogError("Exception Error: unknown exception");
    }
    if (waitShown)
        PleaseWait->HidePleaseWait();
    from.EndBatch();
    to.EndBatch();
    from.RepaintNow();
    to.RepaintNow();
}

} // namespace ferrox
