#pragma once
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Fd.h"
#include "platform/SafeFile.h"

namespace ferrox {

// Which file the queue file of this program is, and that no other program works on it.
//
// Two processes must not work on one queue file, or the last save undoes the other's
// work. The file loaded (or first written) is held with an exclusive flock until another
// one is held or this object goes. A save writes a new file and renames it over the old
// one, so the lock would stay behind on the old inode: the new file is therefore locked
// before it gets its name, and the old lock goes only after the rename. Whoever opens the
// name finds a locked file, and a loader checks after locking that the name still leads to
// what it locked.
//
// Not every writer takes locks (an editor, mv, cp), and some file systems have none. So
// the identity of the file held (or that there was none) is kept too: a guarded replace
// replaces only that file, and a file changed by someone else is kept while the queue goes
// to a new file beside it ("q.ini" gives "q-1.ini", the first name that is free).
//
// Used by one thread at a time, except Ending, which may come from any thread.
class THeldFile {
public:
    // What opening a queue file to load it found.
    struct TFound {
        TFd Fd;
        bool Missing = false; // no such file
        bool Ours = false;    // the file held here already
        bool Held = false;    // another process holds it
        bool Ending = false;  // ... and that process is a Ferrox on its way out
    };
    TFound Open(const std::string& file) const;

    // The file from here on, under `name`: the one found (or ours, kept), one just
    // written, or none, so that whatever appears under the name later is someone else's.
    void Hold(TFound&& found, const std::string& name);
    void Hold(TFd fd, const std::string& name);
    void HoldNothing(const std::string& name);
    // The name the file held (or the lack of one) was taken under.
    bool IsNamed(const std::string& name) const { return heldName_ == name; }

    // Before `target` is replaced: none when another process holds it. Otherwise its file
    // when it stands there and is not ours yet, for the caller to Hold before it writes
    // (so that no one else starts on it meanwhile), or an empty TFd.
    std::optional<TFd> FreeToReplace(const std::string& target) const;
    // The file under `target` is not the one held (someone else put another one there, or
    // wrote into it).
    bool ChangedBySomeoneElse(const std::string& target) const;

    // Replaces the content of `target` (the file named `name`, links resolved) and holds
    // the new file. Guarded: only while it is still the file held, else TFileChangedError.
    void Replace(const std::string& name, const std::string& target, std::string_view text,
                 bool guarded);
    void Replace(const std::string& name, const std::string& target, const TContentWriter& text,
                 bool guarded);
    // Writes a new file beside `name` and holds it; its name.
    std::string WriteBeside(const std::string& name, std::string_view text);
    std::string WriteBeside(const std::string& name, const TContentWriter& text);

    // The program is ending and will not save again: the file stays held, shared, until the
    // process has ended (also one held later), so a Ferrox starting meanwhile waits for it.
    void Ending();

private:
    bool HoldsLockOn(int fd) const;
    bool HoldsLockOn(const std::string& path) const;

    // Guards lock_ and ending_ against Ending from another thread.
    mutable std::mutex mutex_;
    TFd lock_; // the flock on the file held, when there is one
    bool ending_ = false;
    std::string heldName_; // the name whose file held_ describes
    TFileIdentity held_;   // the file loaded or last written there; not Valid: none
};

} // namespace ferrox
