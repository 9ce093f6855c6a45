#include "persist/QueueFile.h"

#include "diag/ErrorLog.h"
#include "diag/StatusLine.h"
#include "diag/Trace.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/SafeFile.h"
#include "platform/SettingsDir.h"
#include "platform/SysError.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace ferrox {

namespace {

// How long a load waits for a Ferrox that is ending to let go of the file, and how often
// it looks: its last file may take the device a moment to give up.
constexpr std::chrono::seconds EndingWait{5};
constexpr std::chrono::milliseconds EndingLook{20};

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

// The old file stays where it is until the new one replaces it in one step; the backup
// is a second name for (or a copy of) the old content, made when it can be.
void BackupBeforeSave(const std::string& target, const std::string& backup) {
    if (LookupPath(target) != 0 || SameFile(target, backup))
        return;
    try {
        LinkOrCopyAs(target, backup);
    } catch (const TFileError&) {
        // The backup is a courtesy; the save goes on without it.
    }
}

void LogException(TStatusLine& status) {
    try {
        throw;
    } catch (const std::exception& e) {
        LogError(status, std::string("Exception Error: ") + e.what());
    } catch (...) {
        LogError(status, "Exception Error: unknown exception");
    }
}

} // namespace

namespace {
std::atomic<void (*)(int)> betweenReadsHook{nullptr};
} // namespace

void SetBetweenQueueReadsHookForTesting(void (*f)(int fd)) {
    betweenReadsHook.store(f);
}

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

// A please-wait box shown for as long as it lives, when asked for.
class TQueueFile::TWaitBox {
public:
    TWaitBox(TQueueFile& file, bool show) : file_(file), shown_(show && file.PleaseWait) {
        if (shown_)
            file_.PleaseWait(true);
    }
    ~TWaitBox() {
        if (shown_)
            file_.PleaseWait(false);
    }
    TWaitBox(const TWaitBox&) = delete;
    TWaitBox& operator=(const TWaitBox&) = delete;

private:
    TQueueFile& file_;
    bool shown_;
};

TQueueFile::TQueueFile(TCopyQueue& queue, const std::atomic<bool>& copyRunning)
    : queue_(queue), copyRunning_(copyRunning), name_(SettingsDir() + "QUEUE.INI") {}

std::string TQueueFile::Name() const {
    std::lock_guard lock(nameMutex_);
    return name_;
}

void TQueueFile::SetName(const std::string& name) {
    std::lock_guard lock(nameMutex_);
    name_ = name;
}

void TQueueFile::TakeName(const std::string& name) {
    SetName(name);
    mustLoadAgain_ = false;
}

TSaveResult TQueueFile::Autosave() {
    return Save(TSaveKind::Autosave, "");
}

TSaveResult TQueueFile::SaveNow() {
    return Save(TSaveKind::Now, "");
}

TSaveResult TQueueFile::SaveAs(const std::string& fileName) {
    return Save(TSaveKind::As, fileName);
}

TLoadResult TQueueFile::LoadAtStart() {
    return Load("", false);
}

TLoadResult TQueueFile::LoadFrom(const std::string& fileName) {
    return Load(fileName, true);
}

std::optional<TSaveResult> TQueueFile::MayReplace(const std::string& file,
                                                  const std::string& target, bool userNamedIt) {
    std::optional<TFd> free = held_.FreeToReplace(target);
    if (!free) {
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
    if (*free)
        held_.Hold(std::move(*free), file);
    return std::nullopt;
}

std::vector<TQueueFile::TSavedPair> TQueueFile::SnapshotLines() {
    // One consistent picture of the pairs: a copy run may delete a pair meanwhile. The
    // paths are held, not their text: the text is made from them later, a piece at a
    // time, without the lock.
    TLineList& from = queue_.lstCopyFrom;
    TLineList& to = queue_.lstCopyTo;
    std::vector<TSavedPair> lines;
    std::lock_guard pair(queue_.PairMutex);
    lines.reserve(from.RootNodeCount());
    PVirtualNode dest = to.FirstNode();
    for (PVirtualNode src = from.FirstNode(); src; src = from.NextNode(src)) {
        lines.push_back({TLineList::NodeData(src)->Path,
                         dest ? TLineList::NodeData(dest)->Path : TLinePath(),
                         static_cast<int8_t>(TCopyQueue::StatusOf(src)), TCopyQueue::IsMove(src)});
        if (dest)
            dest = to.NextNode(dest);
    }
    return lines;
}

TSaveResult TQueueFile::WriteQueueFile(const std::string& file, const std::string& target,
                                       const TContentWriter& text, bool guarded, bool beside) {
    if (!beside) {
        BackupBeforeSave(target, StatePath() + QueueBackupName(file));
        try {
            held_.Replace(file, target, text, guarded);
            return TSaveResult::Saved;
        } catch (const TFileChangedError&) {
            // Replaced between the look before and the rename.
        }
    }
    const std::string side = held_.WriteBeside(file, text);
    TakeName(side);
    LogError(queue_.StatusLine, SavedBesideMessage(file, side));
    return TSaveResult::SavedBeside;
}

TSaveResult TQueueFile::Save(TSaveKind kind, const std::string& fileName) {
    TTraceScope trace("SaveQueue");
    if (kind == TSaveKind::Autosave && queue_.lstCopyFrom.RootNodeCount() > AutosaveLineLimit) {
        queue_.StatusLine.Show(MsgAutosaveDisabled);
        return TSaveResult::AutosaveSkipped;
    }
    const bool named = kind == TSaveKind::As && !fileName.empty();
    try {
        return SaveInto(named ? fileName : Name(), named, kind != TSaveKind::Autosave);
    } catch (...) {
        LogException(queue_.StatusLine);
    }
    return TSaveResult::Failed;
}

TSaveResult TQueueFile::SaveInto(const std::string& file, bool named, bool showWait) {
    // A link to the queue file stays a link: its target is what gets replaced.
    const std::string target = ResolveLinks(file);
    // Without a name from the user, only the file this object loaded or wrote there is
    // replaced: one that someone else put under the name, or wrote into, is theirs.
    const bool guarded = !named && held_.IsNamed(file);
    const bool beside = guarded && held_.ChangedBySomeoneElse(target);
    if (!beside)
        if (std::optional<TSaveResult> refused = MayReplace(file, target, named))
            return *refused;
    inUseElsewhere_ = false;
    if (named)
        TakeName(file);

    std::vector<TSavedPair> lines = SnapshotLines();
    if (lines.empty())
        return SaveEmpty(file, target, named, beside);
    if (!copyRunning_)
        queue_.StatusLine.Show("");
    TWaitBox wait(*this, showWait);
    // Made as it is written: a queue of millions of lines is never whole in memory as text.
    // A second attempt (beside the file) makes it again.
    size_t written = 0;
    std::vector<std::string> unstorable;
    auto text = [&](const TPieceWriter& write) {
        TQueueTextWriter writer(write);
        std::string from, to;
        for (const TSavedPair& line : lines) {
            from.clear();
            to.clear();
            line.From.AppendTo(from);
            line.To.AppendTo(to);
            writer.Add(from, to, line.Status, line.Move, IsCompletedStatus(line.Status));
        }
        const int error = writer.Finish();
        written = writer.Written;
        unstorable = std::move(writer.Unstorable);
        return error;
    };
    const TSaveResult result = WriteQueueFile(file, target, text, guarded, beside);
    // The lines go before the words: a run may be waiting to free them.
    lines = {};
    for (const std::string& path : unstorable)
        LogError(queue_.StatusLine, "Line not saved, its path holds a line break [" + path + "]");
    if (result == TSaveResult::Saved && named && !copyRunning_)
        queue_.StatusLine.Show("Queue Saved [" + std::to_string(written) + " records]");
    return result;
}

TSaveResult TQueueFile::SaveEmpty(const std::string& file, const std::string& target, bool named,
                                  bool beside) {
    // Nothing to keep beside someone else's file, and theirs stays.
    if (beside)
        return TSaveResult::NothingToSave;
    BackupForEmptyQueue(target, StatePath() + QueueBackupName(file));
    held_.HoldNothing(file);
    if (named && !copyRunning_)
        queue_.StatusLine.Show(MsgNothingToSave);
    return TSaveResult::NothingToSave;
}

THeldFile::TFound TQueueFile::OpenToLoad(const std::string& file) {
    THeldFile::TFound found = held_.Open(file);
    if (!found.Held || !found.Ending)
        return found;
    // A Ferrox closing its window holds it until its last file has let go: its lines are
    // what we are to show, not an empty queue.
    TWaitBox wait(*this, true);
    const auto until = std::chrono::steady_clock::now() + EndingWait;
    while (found.Held && found.Ending && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(EndingLook);
        found = held_.Open(file);
    }
    return found;
}

void TQueueFile::FillLists(const TIniReader* ini, int fd, const std::string& file) {
    auto add = [this](TQueueLine&& line) {
        queue_.AddItem(queue_.lstCopyFrom, line.From, line.Move, line.Status);
        if (!line.To.empty())
            queue_.AddItem(queue_.lstCopyTo, line.To, false, line.Done ? lsDirDone : lsDirWaiting);
    };
    if (ini) {
        ForEachQueueLine(*ini, add);
        return;
    }
    try {
        ForEachCanonicalQueueLine(fd, file, add);
    } catch (...) {
        // Only part of the file's lines are here: a save must not put them in its place.
        mustLoadAgain_ = true;
        throw;
    }
}

TLoadResult TQueueFile::Load(const std::string& fileName, bool showWait) {
    // The run walks these very lines; emptying them under it would take its work away.
    const bool named = !fileName.empty();
    lastLoad_ = {TLoadResult::Refused, named ? fileName : Name(), {}};
    if (copyRunning_) {
        queue_.StatusLine.Show(MsgLoadWhileRunning);
        return TLoadResult::Refused;
    }
    TTraceScope trace("LoadQueue");
    TLineList& from = queue_.lstCopyFrom;
    TLineList& to = queue_.lstCopyTo;
    from.BeginBatch();
    to.BeginBatch();
    TLoadResult result = TLoadResult::Unreadable;
    try {
        result = LoadInto(lastLoad_.File, named, showWait);
    } catch (const std::exception& e) {
        lastLoad_.Reason = e.what();
        LogException(queue_.StatusLine);
    } catch (...) {
        lastLoad_.Reason = "unknown exception";
        LogException(queue_.StatusLine);
    }
    lastLoad_.Result = result;
    from.EndBatch();
    to.EndBatch();
    from.RepaintNow();
    to.RepaintNow();
    return result;
}

TLoadResult TQueueFile::LoadInto(const std::string& file, bool named, bool showWait) {
    THeldFile::TFound found = OpenToLoad(file);
    if (found.Missing) {
        inUseElsewhere_ = false;
        // Whatever appears under the name later was put there by someone else.
        held_.HoldNothing(file);
        if (named) {
            TakeName(file);
            if (!copyRunning_)
                queue_.StatusLine.Show(MsgLoadFileMissing);
        }
        return TLoadResult::FileMissing;
    }
    if (found.Held) {
        inUseElsewhere_ = true;
        if (file == Name())
            mustLoadAgain_ = true;
        queue_.StatusLine.Show(InUseMessage(file));
        return TLoadResult::InUseElsewhere;
    }
    // Read through before the lists are touched: a file that cannot be read or is no
    // queue costs no lines, and its name is not taken, so no later save moves it. A file
    // as this program writes it is then read again a block at a time as the lines are
    // made; any other is parsed whole.
    const int fd = found.Fd.Get();
    std::optional<TIniReader> ini;
    if (!CanonicalQueueFile(fd, file)) {
        ini.emplace(ReadAll(fd, file));
        if (!ini->HasSection(QueueSection)) {
            queue_.StatusLine.Show(NotAQueueMessage(file));
            return TLoadResult::NotAQueue;
        }
    }
    // The file's lines are read after it is held, through a descriptor of our own: holding
    // may trade the one it was opened with for the one held before.
    TFd reading;
    if (!ini) {
        reading = TFd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
        if (!reading)
            throw TFileError("Unable to read " + file + ": " + SysErrorMessage(errno), errno);
        if (auto hook = betweenReadsHook.load())
            hook(reading.Get());
    }
    TakeName(file);
    inUseElsewhere_ = false;
    held_.Hold(std::move(found), file);
    queue_.lstCopyFrom.RemoveAllNodes();
    queue_.lstCopyTo.RemoveAllNodes();
    queue_.StatusLine.Show("");
    {
        TWaitBox wait(*this, showWait);
        FillLists(ini ? &*ini : nullptr, reading.Get(), file);
    }
    if (!copyRunning_)
        queue_.StatusLine.Show("Queue Loaded [" +
                               std::to_string(queue_.lstCopyFrom.RootNodeCount()) + " records]");
    return TLoadResult::Loaded;
}

} // namespace ferrox
