#include "persist/QueueFile.h"

#include "diag/ErrorLog.h"
#include "diag/StatusLine.h"
#include "diag/Trace.h"
#include "persist/IniFile.h"
#include "platform/ExePath.h"
#include "platform/SafeFile.h"

#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/SysError.h"

#include <cerrno>
#include <chrono>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace ferrox {

namespace {

// The window gets a chance to repaint this often during a long file; once per line would
// cost more than the line itself.
constexpr uint32_t LinesPerEventPump = 256;

constexpr const char* QueueSection = "Queue";

// True when the name (links followed) still leads to the open file.
bool NameLeadsTo(const std::string& path, int fd) {
    struct stat byName, byFd;
    return ::stat(path.c_str(), &byName) == 0 && ::fstat(fd, &byFd) == 0 && SameInode(byName, byFd);
}

// False only when another open file holds the lock. A file system that has no locks at
// all is worked on unlocked, as it always was.
bool TryLock(int fd) {
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

// A Ferrox on its way out keeps only a shared lock (TQueueFile::Ending): true when the
// lock that keeps us out is one of those.
bool HeldByOneEnding(int fd) {
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0)
        return false;
    ::flock(fd, LOCK_UN);
    return true;
}

// How long a load waits for a Ferrox that is ending to let go of the file, and how often
// it looks: its last file may take the device a moment to give up.
constexpr std::chrono::seconds EndingWait{5};
constexpr std::chrono::milliseconds EndingLook{20};

class TBusyScope {
public:
    explicit TBusyScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~TBusyScope() { flag_ = false; }
    TBusyScope(const TBusyScope&) = delete;
    TBusyScope& operator=(const TBusyScope&) = delete;

private:
    bool& flag_;
};

// An empty queue leaves no file: the old one becomes the backup. When the backup cannot
// take it (another file system, a name it refuses) a copy is made instead; the backup is a
// courtesy, the user asked for an empty queue, so the old file goes in any case.
void BackupForEmptyQueue(const std::string& target, const std::string& backup) {
    if (LookupPath(target) != 0)
        return;
    // The queue file under the backup's own name is its own backup already.
    if (SameFile(target, backup))
        return;
    if (::rename(target.c_str(), backup.c_str()) == 0)
        return;
    try {
        LinkOrCopyAs(target, backup);
    } catch (const TFileError&) {
    }
    ::unlink(target.c_str());
}

// The name of a new file beside the queue file: "q.ini" gives "q-1.ini", "QUEUE" gives
// "QUEUE-1". It keeps the directory as given, and its backup name is not the queue file's.
std::string SideName(const std::string& file, int n) {
    const size_t slash = file.rfind(PathDelim);
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = file.rfind('.');
    if (dot == std::string::npos || dot <= nameStart)
        dot = file.size();
    return file.substr(0, dot) + "-" + std::to_string(n) + file.substr(dot);
}

} // namespace

struct TQueueFile::TSavedLine {
    std::string From;
    std::string To;
    int32_t Status;
    bool Move;
};

std::string QueueBackupName(const std::string& queueFile) {
    std::string name = NamePart(queueFile);
    size_t dot = name.rfind('.');
    return (dot == std::string::npos ? std::string() : name.substr(0, dot + 1)) + "BAK";
}

std::string NotAQueueMessage(const std::string& queueFile) {
    return "Not a queue file, it has no [Queue] section [" + queueFile + "]";
}

std::string InUseMessage(const std::string& queueFile) {
    return "Queue file in use by another Ferrox [" + queueFile + "]";
}

std::string LoadAgainMessage(const std::string& queueFile) {
    return "Queue file was in use when it was to be loaded, load it again before saving [" +
           queueFile + "]";
}

std::string SavedBesideMessage(const std::string& queueFile, const std::string& savedAs) {
    return "Queue file was changed by another program and is left as it is, this queue was "
           "saved as " +
           savedAs + " [" + queueFile + "]";
}

TQueueFile::TQueueFile(TCopyQueue& queue, const std::atomic<bool>& copyRunning)
    : QueueFileName(ExePath() + "QUEUE.INI"), queue_(queue), copyRunning_(copyRunning) {}

void TQueueFile::Pump() {
    if (ProcessEvents)
        ProcessEvents();
}

bool TQueueFile::HoldsLockOn(int fd) const {
    struct stat mine, other;
    return lock_ && ::fstat(lock_.Get(), &mine) == 0 && ::fstat(fd, &other) == 0 &&
           SameInode(mine, other);
}

bool TQueueFile::HoldsLockOn(const std::string& path) const {
    return lock_ && NameLeadsTo(path, lock_.Get());
}

void TQueueFile::Hold(TFd fd, const std::string& name) {
    lock_ = std::move(fd);
    heldName_ = name;
    struct stat st;
    held_ = lock_ && ::fstat(lock_.Get(), &st) == 0 ? IdentityOf(st) : TFileIdentity();
}

void TQueueFile::Ending() {
    // Converted, not given up: a Ferrox starting meanwhile waits for this one's end
    // rather than take the file while its last copy lets go.
    if (lock_)
        ::flock(lock_.Get(), LOCK_SH | LOCK_NB);
}

void TQueueFile::HoldNothing(const std::string& name) {
    lock_.Reset();
    heldName_ = name;
    held_ = TFileIdentity();
}

bool TQueueFile::ChangedBySomeoneElse(const std::string& target) const {
    return LookupPath(target) == 0 && !SameIdentity(GetFileIdentityFollow(target), held_);
}

TSaveResult TQueueFile::SaveBeside(const std::string& file, std::string_view text) {
    const TFileIdentity nothing;
    std::string side;
    for (int n = 1; n <= 1000; ++n) {
        side = SideName(file, n);
        if (LookupPath(side) == 0)
            continue;
        try {
            // Made like the file it stands in for: a root's save of a user's queue stays
            // the user's.
            TFd fd = ReplaceFileContent(side, text,
                                        {.KeepLocked = true,
                                         .Expected = &nothing,
                                         .AttributesFrom = lock_ ? lock_.Get() : -1});
            Hold(std::move(fd), side);
            QueueFileName = side;
            mustLoadAgain_ = false;
            LogError(queue_.StatusLine, SavedBesideMessage(file, side));
            return TSaveResult::SavedBeside;
        } catch (const TFileChangedError&) {
            // Taken a moment ago by someone else; the next name.
        }
    }
    throw TFileError("Unable to write to " + side + ": " + SysErrorMessage(EEXIST), EEXIST);
}

// A please-wait box shown for as long as it lives, when asked for.
class TQueueFile::TWaitBox {
public:
    TWaitBox(TQueueFile& file, bool show) : file_(file) {
        if (show && file_.PleaseWait) {
            file_.PleaseWait(true);
            shown_ = true;
            file_.Pump();
        }
    }
    ~TWaitBox() { Hide(); }
    void Hide() {
        if (shown_)
            file_.PleaseWait(false);
        shown_ = false;
    }

private:
    TQueueFile& file_;
    bool shown_ = false;
};

std::optional<TSaveResult> TQueueFile::MayReplace(const std::string& file,
                                                  const std::string& target, bool userNamedIt) {
    if (HoldsLockOn(target) || LookupPath(target) != 0)
        return std::nullopt;
    TFd other(::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    // Locked, but no longer under the name: another holder has just saved.
    if (other && (!TryLock(other.Get()) || !NameLeadsTo(target, other.Get()))) {
        inUseElsewhere_ = true;
        queue_.StatusLine.Show(InUseMessage(file));
        return TSaveResult::InUseElsewhere;
    }
    // Our lines never came from this file: writing them would drop its queue.
    if (!userNamedIt && mustLoadAgain_) {
        queue_.StatusLine.Show(LoadAgainMessage(file));
        return TSaveResult::InUseElsewhere;
    }
    // Held from here, so no one else starts on the file while it is replaced.
    if (other)
        Hold(std::move(other), file);
    return std::nullopt;
}

std::vector<TQueueFile::TSavedLine> TQueueFile::SnapshotLines() {
    // One consistent picture of the pairs: a copy run may delete a pair meanwhile.
    TLineList& from = queue_.lstCopyFrom;
    TLineList& to = queue_.lstCopyTo;
    std::vector<TSavedLine> lines;
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
    return lines;
}

std::string TQueueFile::QueueText(const std::vector<TSavedLine>& lines, size_t& written,
                                  std::vector<std::string>& unstorable) {
    TIniWriter ini;
    ini.Reserve(lines.size() * 64);
    ini.Section(QueueSection);
    written = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const TSavedLine& line = lines[i];
        // A line break cannot stand in a line of the file. Such a pair is left out, with
        // the numbers closing up behind it, so one odd name (a directory's entry, say)
        // neither stops the whole queue from being saved nor shifts the pairing of the
        // lines after it.
        if (!IsStorableValue(line.From) || !IsStorableValue(line.To)) {
            unstorable.push_back(line.From);
            continue;
        }
        const std::string n = std::to_string(++written);
        ini.WriteString("FROM-" + n, (IsDirStatus(line.Status) ? "D:" : "F:") + line.From);
        ini.WriteString("TO-" + n, line.To);
        ini.WriteBool("DONE-" + n, IsCompletedStatus(line.Status));
        ini.WriteBool("MOVE-" + n, line.Move);
        if ((i + 1) % LinesPerEventPump == 0)
            Pump();
    }
    return ini.Text();
}

TSaveResult TQueueFile::WriteQueueFile(const std::string& file, const std::string& target,
                                       std::string_view text, bool guarded, bool beside) {
    if (beside)
        return SaveBeside(file, text);
    // The old file stays where it is until the new one replaces it in one step; the backup
    // is a second name for (or a copy of) the old content, made when it can be.
    if (LookupPath(target) == 0) {
        std::string backup = StatePath() + QueueBackupName(file);
        if (!SameFile(target, backup)) {
            try {
                LinkOrCopyAs(target, backup);
            } catch (const TFileError&) {
                // The backup is a courtesy; the save goes on without it.
            }
        }
    }
    try {
        Hold(ReplaceFileContent(target, text,
                                {.KeepLocked = true, .Expected = guarded ? &held_ : nullptr}),
             file);
        return TSaveResult::Saved;
    } catch (const TFileChangedError&) {
        // Replaced between the look before and the rename.
        return SaveBeside(file, text);
    }
}

TSaveResult TQueueFile::SaveQueue(bool Force, bool ShowWait, const std::string& FileName) {
    if (busy_)
        return TSaveResult::Refused;
    TTraceScope trace("SaveQueue");
    if (queue_.lstCopyFrom.AllNodeCount() > AutosaveLineLimit && !Force) {
        queue_.StatusLine.Show(MsgAutosaveDisabled);
        return TSaveResult::AutosaveSkipped;
    }
    TBusyScope busy(busy_);
    const std::string file = FileName.empty() ? QueueFileName : FileName;
    TSaveResult result = TSaveResult::Failed;
    std::optional<TWaitBox> wait;
    try {
        // A link to the queue file stays a link: its target is what gets replaced.
        const std::string target = ResolveLinks(file);
        // Without a name from the user, only the file this object loaded or wrote there is
        // replaced: one that someone else put under the name, or wrote into, is theirs.
        const bool guarded = FileName.empty() && heldName_ == file;
        const bool beside = guarded && ChangedBySomeoneElse(target);
        if (!beside)
            if (std::optional<TSaveResult> refused = MayReplace(file, target, !FileName.empty()))
                return *refused;
        inUseElsewhere_ = false;
        if (!FileName.empty()) {
            QueueFileName = FileName;
            mustLoadAgain_ = false;
        }

        const std::vector<TSavedLine> lines = SnapshotLines();
        if (lines.empty()) {
            // Nothing to keep beside someone else's file, and theirs stays.
            if (beside)
                return TSaveResult::NothingToSave;
            BackupForEmptyQueue(target, StatePath() + QueueBackupName(file));
            HoldNothing(file);
            if (!FileName.empty() && !copyRunning_)
                queue_.StatusLine.Show(MsgNothingToSave);
            return TSaveResult::NothingToSave;
        }
        if (!copyRunning_)
            queue_.StatusLine.Show("");
        wait.emplace(*this, ShowWait);

        size_t written = 0;
        std::vector<std::string> unstorable;
        const std::string text = QueueText(lines, written, unstorable);
        result = WriteQueueFile(file, target, text, guarded, beside);

        for (const std::string& path : unstorable)
            LogError(queue_.StatusLine,
                     "Line not saved, its path holds a line break [" + path + "]");
        if (result == TSaveResult::Saved && !FileName.empty() && !copyRunning_)
            queue_.StatusLine.Show("Queue Saved [" + std::to_string(written) + " records]");
    } catch (const std::exception& e) {
        LogError(queue_.StatusLine, std::string("Exception Error: ") + e.what());
    } catch (...) {
        LogError(queue_.StatusLine, "Exception Error: unknown exception");
    }
    return result;
}

TFd TQueueFile::OpenToLoad(const std::string& file, bool& missing, bool& ours, bool& held,
                           bool& ending) {
    TFd fd;
    for (int attempt = 0; attempt < 10; ++attempt) {
        fd = OpenRegularFile(file, &missing);
        if (missing)
            break;
        // A second lock of our own would fail against the one we hold.
        if ((ours = HoldsLockOn(fd.Get())))
            break;
        if ((held = !TryLock(fd.Get()))) {
            ending = HeldByOneEnding(fd.Get());
            break;
        }
        // A save elsewhere may have put a new file under the name between the open and
        // the lock; the locked one is then an old one, free for that reason.
        if (NameLeadsTo(file, fd.Get()))
            break;
    }
    return fd;
}

void TQueueFile::FillLists(const TIniReader& ini) {
    TLineList& from = queue_.lstCopyFrom;
    TLineList& to = queue_.lstCopyTo;
    for (uint64_t n = 1;; ++n) {
        const std::string number = std::to_string(n);
        std::string fromValue = ini.ReadString(QueueSection, "FROM-" + number, "");
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
                path = std::move(fromValue);
            }
            queue_.AddItem(from, path, move, status);
            if (!toValue.empty())
                queue_.AddItem(to, toValue, false, done ? lsDirDone : lsDirWaiting);
        }
        if (n % LinesPerEventPump == 0)
            Pump();
    }
}

TLoadResult TQueueFile::LoadQueue(bool ShowWait, const std::string& FileName) {
    if (busy_)
        return TLoadResult::Refused;
    // The run walks these very lines; emptying them under it would take its work away.
    if (copyRunning_) {
        queue_.StatusLine.Show(MsgLoadWhileRunning);
        return TLoadResult::Refused;
    }
    TTraceScope trace("LoadQueue");
    TBusyScope busy(busy_);
    const std::string file = FileName.empty() ? QueueFileName : FileName;
    TLineList& from = queue_.lstCopyFrom;
    TLineList& to = queue_.lstCopyTo;
    from.BeginBatch();
    to.BeginBatch();
    TLoadResult result = TLoadResult::Unreadable;
    try {
        bool missing = false, ours = false, held = false, ending = false;
        TFd fd = OpenToLoad(file, missing, ours, held, ending);
        if (held && ending) {
            // A Ferrox closing its window holds it until its last file has let go: its lines
            // are what we are to show, not an empty queue.
            TWaitBox wait(*this, true);
            const auto until = std::chrono::steady_clock::now() + EndingWait;
            while (held && ending && std::chrono::steady_clock::now() < until) {
                Pump();
                std::this_thread::sleep_for(EndingLook);
                missing = ours = held = ending = false;
                fd = OpenToLoad(file, missing, ours, held, ending);
            }
        }
        if (missing) {
            inUseElsewhere_ = false;
            // Whatever appears under the name later was put there by someone else.
            HoldNothing(file);
            if (!FileName.empty()) {
                QueueFileName = FileName;
                mustLoadAgain_ = false;
                if (!copyRunning_)
                    queue_.StatusLine.Show(MsgLoadFileMissing);
            }
            result = TLoadResult::FileMissing;
        } else if (held) {
            inUseElsewhere_ = true;
            if (file == QueueFileName)
                mustLoadAgain_ = true;
            queue_.StatusLine.Show(InUseMessage(file));
            result = TLoadResult::InUseElsewhere;
        } else {
            // Parsed before the lists are touched: a file that cannot be read or is no
            // queue costs no lines, and its name is not taken, so no later save moves it.
            TIniReader ini(ReadAll(fd.Get(), file));
            if (!ini.HasSection(QueueSection)) {
                queue_.StatusLine.Show(NotAQueueMessage(file));
                result = TLoadResult::NotAQueue;
            } else {
                QueueFileName = file;
                inUseElsewhere_ = false;
                mustLoadAgain_ = false;
                Hold(ours ? std::move(lock_) : std::move(fd), file);
                from.RemoveAllNodes();
                to.RemoveAllNodes();
                queue_.StatusLine.Show("");
                {
                    TWaitBox wait(*this, ShowWait);
                    FillLists(ini);
                }
                result = TLoadResult::Loaded;
                if (!copyRunning_)
                    queue_.StatusLine.Show("Queue Loaded [" + std::to_string(from.AllNodeCount()) +
                                           " records]");
            }
        }
    } catch (const std::exception& e) {
        LogError(queue_.StatusLine, std::string("Exception Error: ") + e.what());
    } catch (...) {
        LogError(queue_.StatusLine, "Exception Error: unknown exception");
    }
    from.EndBatch();
    to.EndBatch();
    from.RepaintNow();
    to.RepaintNow();
    return result;
}

} // namespace ferrox
