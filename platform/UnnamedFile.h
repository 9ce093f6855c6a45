#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

struct stat;
struct dirent;

namespace ferrox {

// Who made a temporary of ours: the machine (its id), its boot, and the process (its pid
// and start time, which together name one process for as long as the machine runs).
struct TTempWriter {
    std::string Machine; // 8 hex digits
    std::string Boot;    // 8 hex digits
    pid_t Pid = 0;
    uint64_t Start = 0;
};
const TTempWriter& ThisTempWriter();
// This process's (a fork's own, where ThisTempWriter is its parent's).
TTempWriter CurrentTempWriter();
// True when the writer of a temporary that looks like `seen` is provably gone: of this
// machine, and in this boot a process that no longer exists, or of another boot and left
// alone for a while. Another machine's writer may be alive: never ours to judge.
bool TempWriterGone(const TTempWriter& writer, const struct stat& seen);

// The name of a temporary of ours, ".ferrox-MACHINE-BOOT-PID-START-RANDOM-CHECK.part":
// hidden, recognisable as ours when a killed copy left it behind, with who wrote it so that
// a later run can tell whether the writer can still be alive, and ending in a check value
// of the rest, so that no file of the user's is ever taken for one of ours.
std::string TempNameOf(const TTempWriter& writer, std::string_view random);
// A fresh one of this process, with random letters and digits.
std::string RandomTempName();
// Recognises the names TempNameOf makes (the last component of a path).
bool IsCopyTempName(const std::string& name);

// A large file's copy goes into a partial: a temporary whose name says, in place of the
// random letters, which target and source it is for (its key) and how many of its first
// bytes are on the disk, so that a copy cut off by a kill can be continued.
struct TPartialName {
    std::string Key; // 32 hex digits
    int64_t Length = 0;
};
std::string PartialNameOf(const TTempWriter& writer, std::string_view key, int64_t length);
// False for any name that is not a partial's of ours.
bool ParsePartialName(std::string_view name, TTempWriter& writer, TPartialName& partial);
// A partial whose writer is gone is kept this long after its last write for its line's next
// run; after that it goes like any other temporary of a gone writer.
inline constexpr int64_t PartialKeptSeconds = 7 * 24 * 3600;

// The n-th name for a copy kept beside an existing file: "photo.jpg" gives
// "photo (2).jpg", ".bashrc" ".bashrc (2)", "archive.tar.gz" "archive.tar (2).gz".
std::string NumberedName(std::string_view name, int n);

// Gives the unnamed file fd (opened with O_TMPFILE) the name dirFd/name; 0 or errno
// (EEXIST when the name is taken).
int LinkUnnamed(int fd, int dirFd, const char* name);

// Puts the complete unnamed file in place of an existing dirFd/name: a named link beside
// it, renamed over it at once, so the name exists only for the moment between the two.
// 0 or errno.
int ReplaceWithUnnamed(int fd, int dirFd, const char* name);

// A named temporary file in dirFd, created with mode (less the umask), for file systems
// without unnamed files: its descriptor, with its name in temp; -1 with error set when none could
// be made. The descriptor holds an flock on the file, which tells RemoveStaleTemps it is being
// written.
int CreateNamedTemp(int dirFd, mode_t mode, std::string& temp, int& error);

// The names in dirFd (opened as a directory, or as a path: then none) that `wanted` keeps.
std::vector<std::string> NamesIn(int dirFd, const std::function<bool(const dirent&)>& wanted);

// Removes the temporaries of ours in dirFd whose writers are provably gone, and locked by
// no one (partials only once PartialKeptSeconds have passed): made by this machine in this boot by
// a process that no longer exists (its pid gone, or taken by another process since), or before its
// last boot and left alone for ten minutes (a clone of this machine shares its id and may be
// writing through a share). Anything else (another machine's, a live writer's, whatever cannot be
// checked) stays. Returns how many were removed.
int RemoveStaleTemps(int dirFd);

// Where a file system can neither rename without replacing nor make hard links, a copy
// reserves its target's name by an exclusive create before it renames over it; the
// reservation holds this word (the temporary's name), so that one a killed copy left can be
// told from a file of the user's.
std::string ReservationOf(const std::string& temp);
// Removes dirFd/name when it is such a reservation whose writer is provably gone (the same
// rules as for the temporaries); true when it was removed.
bool RemoveStaleReservation(int dirFd, const char* name);

// What to report when giving a file its name in dirFd failed with error: a name the file
// system refuses (FAT and exFAT refuse ?, *, : and others, some file systems bytes that
// are not UTF-8) comes back as ENOENT, EINVAL or EILSEQ although the directory is there;
// that becomes errNameRefused. temp, when given, is a file of ours in dirFd that must
// still exist for the refusal to be the name's.
int NamingError(int dirFd, const char* temp, int error);

} // namespace ferrox
