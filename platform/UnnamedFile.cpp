#include "platform/UnnamedFile.h"

#include <algorithm>

#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/SysError.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <string_view>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ferrox {

namespace {

constexpr std::string_view TempPrefix = ".ferrox-";
constexpr std::string_view TempSuffix = ".part";
constexpr size_t TokenLen = 8;
constexpr size_t TempRandomLen = 6;
constexpr size_t MaxPidDigits = 10;

bool IsLowerHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

bool IsAlnum(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// The first eight hex digits of a file holding a random identifier (machine-id, boot_id),
// in lower case; empty when it cannot be read.
std::string HexToken(const char* path) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char buf[64];
    ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    std::string token;
    for (ssize_t i = 0; i < n && token.size() < TokenLen; ++i) {
        char c = buf[i] >= 'A' && buf[i] <= 'F' ? static_cast<char>(buf[i] - 'A' + 'a') : buf[i];
        if (IsLowerHex(c))
            token += c;
        else if (c != '-')
            break;
    }
    return token.size() == TokenLen ? token : std::string();
}

// The start time of a process (clock ticks after boot, /proc/PID/stat's 22nd field): with
// its pid it names the process for as long as the machine runs; 0 when it cannot be read.
uint64_t ProcessStartTime(pid_t pid) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char buf[1024];
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0)
        return 0;
    buf[n] = '\0';
    // The command name may hold blanks and parentheses: count fields after the last ')'.
    const char* at = std::strrchr(buf, ')');
    for (int field = 2; at && field < 22; ++field)
        at = std::strchr(at + 1, ' ');
    return at ? std::strtoull(at + 1, nullptr, 10) : 0;
}

// The check value a name of ours ends with: a user's file that merely looks like one of
// our temporaries is never taken for one.
std::string CheckOf(std::string_view text) {
    uint32_t hash = 2166136261u; // FNV-1a, keyed
    for (char c : std::string_view("ferrox temporary:"))
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    for (char c : text)
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    char hex[TokenLen + 1];
    std::snprintf(hex, sizeof hex, "%08x", hash);
    return hex;
}

bool AllOf(std::string_view field, size_t min, size_t max, bool (*ok)(char)) {
    if (field.size() < min || field.size() > max)
        return false;
    for (char c : field)
        if (!ok(c))
            return false;
    return true;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A partial's field in place of the random one: "P", its key (32 hex digits), "L" and the
// length it holds on the disk (decimal).
bool ParsePartialField(std::string_view field, TPartialName* partial) {
    constexpr size_t KeyLen = 32;
    if (field.size() < 1 + KeyLen + 2 || field.size() > 1 + KeyLen + 1 + 19 || field[0] != 'P' ||
        field[1 + KeyLen] != 'L' || !AllOf(field.substr(1, KeyLen), KeyLen, KeyLen, IsLowerHex) ||
        !AllOf(field.substr(2 + KeyLen), 1, 19, IsDigit))
        return false;
    if (partial) {
        partial->Key.assign(field.substr(1, KeyLen));
        partial->Length = std::strtoll(std::string(field.substr(2 + KeyLen)).c_str(), nullptr, 10);
    }
    return true;
}

// Takes a name of TempNameOf's form apart; false for any other name, and for one whose
// check value does not match. A partial's name fills *partial (and is no temporary's
// without it).
bool ParseTempName(std::string_view name, TTempWriter& writer, TPartialName* partial = nullptr,
                   bool* isPartial = nullptr) {
    if (name.size() < TempPrefix.size() + TempSuffix.size() || !name.starts_with(TempPrefix) ||
        !name.ends_with(TempSuffix))
        return false;
    std::string_view rest =
        name.substr(TempPrefix.size(), name.size() - TempPrefix.size() - TempSuffix.size());
    constexpr int Fields = 6; // machine, boot, pid, start, random, check
    std::string_view fields[Fields];
    std::string_view remaining = rest;
    for (int i = 0; i < Fields; ++i) {
        size_t dash = i < Fields - 1 ? remaining.find('-') : remaining.size();
        if (dash == std::string_view::npos)
            return false;
        fields[i] = remaining.substr(0, dash);
        remaining.remove_prefix(i < Fields - 1 ? dash + 1 : dash);
    }
    if (!AllOf(fields[0], TokenLen, TokenLen, IsLowerHex) ||
        !AllOf(fields[1], TokenLen, TokenLen, IsLowerHex) ||
        !AllOf(fields[2], 1, MaxPidDigits, IsDigit) || fields[2][0] == '0' ||
        !AllOf(fields[3], 1, 20, IsDigit) ||
        !(AllOf(fields[4], TempRandomLen, TempRandomLen, IsAlnum) ||
          ParsePartialField(fields[4], partial)) ||
        fields[5] != CheckOf(rest.substr(0, rest.size() - TokenLen - 1)))
        return false;
    if (isPartial)
        *isPartial = fields[4].size() != TempRandomLen;
    int64_t pid = 0;
    for (char c : fields[2])
        pid = pid * 10 + (c - '0');
    if (pid > INT32_MAX)
        return false;
    writer.Machine.assign(fields[0]);
    writer.Boot.assign(fields[1]);
    writer.Pid = static_cast<pid_t>(pid);
    writer.Start = std::strtoull(std::string(fields[3]).c_str(), nullptr, 10);
    return true;
}

// A writer of this machine's current boot that may still be writing: our own process, or
// one that is alive and is the process that made the name (a pid reused since by another
// program is not).
bool MayBeWriting(const TTempWriter& writer) {
    if (writer.Pid == ::getpid())
        return true;
    if (::kill(writer.Pid, 0) != 0 && errno == ESRCH)
        return false;
    const uint64_t start = ProcessStartTime(writer.Pid);
    return start == 0 || start == writer.Start;
}

// How long a temporary of another boot must have been left alone before it goes: a clone
// of this machine (a copied virtual machine or container shares its machine id) may be
// writing it through a share, where its lock does not reach us.
constexpr int64_t OtherBootQuietSeconds = 10 * 60;

// True when the writer of a temporary that looks like `seen` is provably gone: of this
// machine, and in this boot a process that no longer exists, or of another boot and left
// alone for a while. Another machine's writer may be alive, and its locks need not reach us
// (a share whose locks are kept by each client): never ours to judge.
} // namespace

bool TempWriterGone(const TTempWriter& writer, const struct stat& seen) {
    const TTempWriter& us = ThisTempWriter();
    if (writer.Machine != us.Machine)
        return false;
    // In this boot the pid and its start time tell whether the writer lives (also between
    // creating the file and locking it, or closing it and giving it its name).
    if (writer.Boot == us.Boot)
        return !MayBeWriting(writer);
    return ::time(nullptr) - seen.st_mtim.tv_sec >= OtherBootQuietSeconds;
}

namespace {

bool WriterGone(const TTempWriter& writer, const struct stat& seen) {
    return TempWriterGone(writer, seen);
}

// Removes dirFd/name, a regular file of ours whose writer is gone, unless someone holds a
// lock on it: a writer holds its lock as long as it writes, also one in another pid
// namespace whose pid we cannot see; where locks cannot be tested at all, nothing is
// removed. The file is closed before it is unlinked: a FUSE file system hides a file that
// is unlinked while open (".fuse_hidden…") and removes it only when it is released.
bool RemoveUnlocked(int dirFd, const char* name) {
    int fd = ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat locked, named;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &locked) == 0;
    ::close(fd);
    return free && ::fstatat(dirFd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           SameInode(locked, named) && ::unlinkat(dirFd, name, 0) == 0;
}

// True when the temporary dirFd/name was left by a writer that is provably gone, and it
// was removed.
bool RemoveIfStale(int dirFd, const std::string& name) {
    TTempWriter writer;
    bool partial = false;
    struct stat seen;
    if (!ParseTempName(name, writer, nullptr, &partial) ||
        ::fstatat(dirFd, name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0 ||
        !WriterGone(writer, seen))
        return false;
    // A partial waits for its line's next run (which takes it over or removes it), for a
    // while: another copy into its folder may come first.
    if (partial && ::time(nullptr) - seen.st_mtim.tv_sec < PartialKeptSeconds)
        return false;
    // A link is complete the moment it exists: no one writes it, there is no lock to test.
    if (S_ISLNK(seen.st_mode))
        return ::unlinkat(dirFd, name.c_str(), 0) == 0;
    return S_ISREG(seen.st_mode) && RemoveUnlocked(dirFd, name.c_str());
}

} // namespace

const TTempWriter& ThisTempWriter() {
    static const TTempWriter writer = [] {
        TTempWriter w;
        w.Machine = HexToken("/etc/machine-id");
        if (w.Machine.empty())
            w.Machine = HexToken("/var/lib/dbus/machine-id");
        if (w.Machine.empty()) {
            char host[256] = {};
            ::gethostname(host, sizeof host - 1);
            uint32_t hash = 2166136261u; // FNV-1a
            for (const char* c = host; *c; ++c)
                hash = (hash ^ static_cast<unsigned char>(*c)) * 16777619u;
            char hex[TokenLen + 1];
            std::snprintf(hex, sizeof hex, "%08x", hash);
            w.Machine = hex;
        }
        // Unknown, every boot looks like this one: the pid and lock tests then decide,
        // which only ever keeps too much.
        w.Boot = HexToken("/proc/sys/kernel/random/boot_id");
        if (w.Boot.empty())
            w.Boot = std::string(TokenLen, '0');
        w.Pid = ::getpid();
        w.Start = ProcessStartTime(w.Pid);
        return w;
    }();
    return writer;
}

std::string TempNameOf(const TTempWriter& writer, std::string_view random) {
    std::string rest = writer.Machine + '-' + writer.Boot + '-' + std::to_string(writer.Pid) + '-' +
                       std::to_string(writer.Start) + '-' + std::string(random);
    return std::string(TempPrefix) + rest + '-' + CheckOf(rest) + std::string(TempSuffix);
}

// A fresh temporary name of ours: this process's, with random letters and digits.
std::string RandomTempName() {
    static constexpr char Alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[TempRandomLen];
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        // Entropy is not a matter here, only a fresh name; the callers retry on a clash.
        static std::atomic<uint32_t> counter{0};
        uint32_t seed = static_cast<uint32_t>(::getpid()) * 2654435761u + counter++;
        for (auto& b : bytes) {
            seed = seed * 1103515245u + 12345u;
            b = static_cast<unsigned char>(seed >> 16);
        }
    }
    std::string random;
    for (unsigned char b : bytes)
        random += Alphabet[b % (sizeof Alphabet - 1)];
    return TempNameOf(CurrentTempWriter(), random);
}

TTempWriter CurrentTempWriter() {
    // A fork (the flush's helper) is another process: its own pid, read afresh.
    TTempWriter us = ThisTempWriter();
    if (us.Pid != ::getpid()) {
        us.Pid = ::getpid();
        us.Start = ProcessStartTime(us.Pid);
    }
    return us;
}

std::string PartialNameOf(const TTempWriter& writer, std::string_view key, int64_t length) {
    return TempNameOf(writer, "P" + std::string(key) + "L" + std::to_string(length));
}

bool ParsePartialName(std::string_view name, TTempWriter& writer, TPartialName& partial) {
    bool isPartial = false;
    return ParseTempName(name, writer, &partial, &isPartial) && isPartial;
}

std::string NumberedName(std::string_view name, int n) {
    // The extension is what follows the last dot, unless that dot starts the name.
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        dot = name.size();
    std::string numbered(name.substr(0, dot));
    numbered += " (" + std::to_string(n) + ")";
    numbered += name.substr(dot);
    return numbered;
}

// Gives the unnamed file its name; 0 or errno (EEXIST when the name is taken).
int LinkUnnamed(int fd, int dirFd, const char* name) {
    // Linking a descriptor directly needs a capability on older kernels; /proc names the
    // file for everyone else, at the price of a walk through /proc.
    static std::atomic<bool> emptyPathRefused{false};
    if (!emptyPathRefused.load(std::memory_order_relaxed)) {
        if (::linkat(fd, "", dirFd, name, AT_EMPTY_PATH) == 0)
            return 0;
        if (errno != ENOENT && errno != EPERM && errno != EINVAL)
            return errno;
    }
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    const int error = ::linkat(AT_FDCWD, proc, dirFd, name, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
    // The direct form is given up only once /proc has worked where it did not: ENOENT
    // also comes from a directory removed meanwhile, and /proc may be missing.
    if (error == 0 || error == EEXIST)
        emptyPathRefused.store(true, std::memory_order_relaxed);
    return error;
}

// Puts the complete unnamed file in place of an existing target: a named link beside
// it, renamed over it at once, so the name exists only for the moment between the two.
int ReplaceWithUnnamed(int fd, int dirFd, const char* name) {
    std::string temp;
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        temp = RandomTempName();
        error = LinkUnnamed(fd, dirFd, temp.c_str());
    }
    if (error != 0)
        return error;
    if (::renameat(dirFd, temp.c_str(), dirFd, name) != 0) {
        error = errno;
        ::unlinkat(dirFd, temp.c_str(), 0);
    }
    return error;
}

// A named temporary file in dirFd, for file systems without unnamed files.
int CreateNamedTemp(int dirFd, mode_t mode, std::string& temp, int& error) {
    error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        temp = RandomTempName();
        // Readable too: a verified copy is read back through this descriptor (see
        // TTargetWriter::Verify).
        int fd = ::openat(dirFd, temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            // Held until the descriptor closes. Where the file system has no locks, the
            // pid in the name is all a later run goes by.
            ::flock(fd, LOCK_EX | LOCK_NB);
            error = 0;
            return fd;
        }
        error = errno;
    }
    return -1;
}

bool IsCopyTempName(const std::string& name) {
    TTempWriter writer;
    return ParseTempName(NameView(name), writer);
}

std::vector<std::string> NamesIn(int dirFd, const std::function<bool(const dirent&)>& wanted) {
    std::vector<std::string> names;
    // A directory opened only as a path (no read permission) cannot be listed: none.
    const int fd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return names;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return names;
    }
    while (const dirent* entry = ::readdir(dir))
        if (wanted(*entry))
            names.emplace_back(entry->d_name);
    ::closedir(dir);
    return names;
}

namespace {
void RemoveReservationsOfGone(int dirFd, const std::vector<size_t>& sizes) {
    const auto candidates = NamesIn(dirFd, [&](const dirent& entry) {
        struct stat seen;
        return (entry.d_type == DT_REG || entry.d_type == DT_UNKNOWN) &&
               ::fstatat(dirFd, entry.d_name, &seen, AT_SYMLINK_NOFOLLOW) == 0 &&
               S_ISREG(seen.st_mode) &&
               std::find(sizes.begin(), sizes.end(), size_t(seen.st_size)) != sizes.end();
    });
    for (const std::string& name : candidates)
        RemoveStaleReservation(dirFd, name.c_str());
}
} // namespace

int RemoveStaleTemps(int dirFd) {
    const auto temps =
        NamesIn(dirFd, [](const dirent& entry) { return IsCopyTempName(entry.d_name); });
    int removed = 0;
    std::vector<size_t> words; // the lengths of the names of those removed
    for (const std::string& name : temps)
        if (RemoveIfStale(dirFd, name)) {
            ++removed;
            words.push_back(ReservationOf(name).size());
        }
    // A copy killed between reserving its target's name and renaming over it left both its
    // temporary and the reservation, which holds the temporary's name: the reservation goes
    // too, though no later copy may come to that name. Looked for only when a temporary of
    // a gone writer was found, and read only when its size is such a name's.
    if (!words.empty())
        RemoveReservationsOfGone(dirFd, words);
    return removed;
}

std::string ReservationOf(const std::string& temp) {
    return std::string(NameView(temp));
}

bool RemoveStaleReservation(int dirFd, const char* name) {
    // A reservation holds one of our temporary names and nothing else.
    constexpr off_t Shortest = 40, Longest = 160;
    struct stat seen;
    if (::fstatat(dirFd, name, &seen, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(seen.st_mode) ||
        seen.st_size < Shortest || seen.st_size > Longest)
        return false;
    char held[Longest];
    ssize_t n = -1;
    if (int fd = ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        fd >= 0) {
        n = ::read(fd, held, sizeof held);
        ::close(fd);
    }
    TTempWriter writer;
    return n == seen.st_size && ParseTempName(std::string_view(held, size_t(n)), writer) &&
           WriterGone(writer, seen) && RemoveUnlocked(dirFd, name);
}

int NamingError(int dirFd, const char* temp, int error) {
    if (error != ENOENT && error != EINVAL && error != EILSEQ)
        return error;
    // Only while the directory (and our file in it) is still there is the name to blame.
    struct stat st;
    bool there = temp ? ::fstatat(dirFd, temp, &st, AT_SYMLINK_NOFOLLOW) == 0
                      : ::fstat(dirFd, &st) == 0 && st.st_nlink > 0;
    return there ? static_cast<int>(errNameRefused) : error;
}

} // namespace ferrox
