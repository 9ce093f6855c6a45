// random_runs: features combined at random, through the real ferrox-run, on real file
// systems, checked against a model of what must be true afterwards.
//
// From a seed it makes a source tree (files of 0 B to a few MiB, now and then larger ones,
// sparse files, links, names that clash across folders, odd bytes in names, names that
// look like our temporaries), a queue over it (file and folder lines, Copy and Move,
// destinations that overlap, one name from several lines into one folder), targets that
// exist already, and options (workers, the policy for existing targets on the command line
// or in QOPTIONS.INI, misspelt now and then, verification, trash or not). It runs
// ferrox-run on it (or builds the queue through `ferrox` requests to a window first),
// sometimes interrupts it with SIGINT or SIGKILL and runs it again, and checks the
// invariants below. A failing case prints its seed and file system, to be replayed with
// `random_runs --seed=N --fs=NAME`.
//
//   random_runs                        a fixed set of seeds on every file system there is
//   random_runs --seed=N [--fs=NAME]   one seed (on one file system, or on each)
//   random_runs --for=SECONDS [--fs=NAME] [--verbose]
//                                      fresh seeds until the time is up, then a tally
//
// File systems (the destinations'; the sources' is drawn from the seed): tmpfs, ext4 (an
// image on a loop device), exfat (exfat-fuse on a loop device), sshfs (a share served by
// an sshd of our own on 127.0.0.1). Each is skipped, with the reason, when what it needs is
// missing. Everything set up is taken down by a supervisor process however the run ends.
#include "combos/CorruptInTransit.h"
#include "support/Scratch.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <map>
#include <optional>
#include <poll.h>
#include <random>
#include <regex>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ferrox;
using scratch::Quote;

namespace {

using Clock = std::chrono::steady_clock;
using TStrings = std::vector<std::string>;

// ---- Small helpers -------------------------------------------------------------------------

std::string NameOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

std::string DirOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

std::string Join(const std::string& dir, const std::string& name) {
    return dir + "/" + name;
}

bool Below(const std::string& path, const std::string& dir) {
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
           path[dir.size()] == '/';
}

std::string WithoutSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

bool StartsWith(const std::string& s, const std::string& head) {
    return s.compare(0, head.size(), head) == 0;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Bytes as C would write them, so a name with odd bytes prints as what it is.
std::string Shown(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += char(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

std::string ReadText(const std::string& path) {
    std::string text;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char buf[65536];
    for (ssize_t n; fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, size_t(n));
    if (fd >= 0)
        ::close(fd);
    return text;
}

bool MakeDirs(const std::string& path) {
    for (size_t at = 1; at != std::string::npos; at = path.find('/', at + 1))
        ::mkdir(path.substr(0, at).c_str(), 0755);
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

[[noreturn]] void Fatal(const std::string& why) {
    std::fflush(stdout);
    std::fprintf(stderr, "random_runs: %s\n", why.c_str());
    std::_Exit(2);
}

// The first eight hex digits of an identifier file (machine-id, boot_id), as the names of
// Ferrox's temporaries carry them.
std::string HexToken(const char* path) {
    std::string token;
    for (char c : ReadText(path)) {
        if (token.size() == 8)
            break;
        if (std::isxdigit(static_cast<unsigned char>(c)))
            token += char(std::tolower(static_cast<unsigned char>(c)));
        else if (c != '-')
            break;
    }
    return token.size() == 8 ? token : "";
}

// ---- Randomness: the same seed gives the same case with any compiler ----------------------

struct TRng {
    uint64_t State;
    uint64_t Next() { // splitmix64
        uint64_t z = (State += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    uint64_t Below(uint64_t n) { return n ? Next() % n : 0; }
    int64_t Between(int64_t lo, int64_t hi) { return lo + int64_t(Below(uint64_t(hi - lo + 1))); }
    bool Chance(double p) { return double(Next() >> 11) * 0x1.0p-53 < p; }
    template <class T> const T& Pick(const std::vector<T>& v) { return v[Below(v.size())]; }
};

// ---- File systems --------------------------------------------------------------------------

struct TFs {
    std::string Name;
    bool Fuse = false;   // keeps whole seconds of a modification time here, and numbers files anew
    std::string Root;    // mounted here; empty when it is not there
    std::string Missing; // why not
};

std::string MakeImage(const std::string& image, const std::string& mkfs) {
    int fd = ::open(image.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const bool sized = fd >= 0 && ::ftruncate(fd, off_t(512) << 20) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!sized || std::system((mkfs + " " + Quote(image) + " >/dev/null 2>&1").c_str()) != 0)
        return "an image (" + mkfs + " failed)";
    return {};
}

// Mounts one file system of each kind below work; what could not be, with the reason.
std::vector<TFs> MountAll(const std::string& work, scratch::TShare& share) {
    std::vector<TFs> all(4);
    for (size_t i = 0; i < all.size(); ++i) {
        all[i].Name = TStrings{"tmpfs", "ext4", "exfat", "sshfs"}[i];
        all[i].Fuse = i >= 2;
    }
    const bool root = ::geteuid() == 0;
    for (TFs& fs : all) {
        const std::string at = work + "/" + fs.Name;
        std::string why;
        if (fs.Name == "sshfs") {
            if ((why = scratch::ShareMissing()).empty()) {
                why = share.Open(work);
                fs.Root = why.empty() ? share.Mount() : "";
            } else {
                why += " missing (apt-get install sshfs openssh-server)";
            }
            fs.Missing = why;
            continue;
        }
        if (!root) {
            fs.Missing = "root, to mount it";
            continue;
        }
        ::mkdir(at.c_str(), 0755);
        scratch::Note('M', at);
        std::string device;
        int loop = -1;
        if (fs.Name == "tmpfs") {
            if (::mount("tmpfs", at.c_str(), "tmpfs", 0, "size=2g,mode=0755") != 0)
                why = std::string("a tmpfs mount: ") + std::strerror(errno);
        } else if (fs.Name == "ext4") {
            if (!scratch::HaveCommand("mkfs.ext4"))
                why = "mkfs.ext4 (e2fsprogs)";
            else if (!(why = MakeImage(work + "/ext4.img", "mkfs.ext4 -q -F")).empty())
                ;
            else if ((loop = scratch::AttachLoop(work + "/ext4.img", device)) < 0)
                why = "a free loop device (/dev/loop-control)";
            else if (::mount(device.c_str(), at.c_str(), "ext4", 0, "") != 0)
                why = std::string("an ext4 mount: ") + std::strerror(errno);
        } else if (fs.Name == "exfat") {
            if (::access("/dev/fuse", R_OK | W_OK) != 0)
                why = "FUSE (/dev/fuse)";
            else if (!scratch::HaveCommand("mkfs.exfat") ||
                     !scratch::HaveCommand("mount.exfat-fuse"))
                why = "mkfs.exfat or mount.exfat-fuse (exfatprogs, exfat-fuse)";
            else if (!(why = MakeImage(work + "/exfat.img", "mkfs.exfat")).empty())
                ;
            else if ((loop = scratch::AttachLoop(work + "/exfat.img", device)) < 0)
                why = "a free loop device (/dev/loop-control)";
            else if (std::system(("mount.exfat-fuse " + Quote(device) + " " + Quote(at) +
                                  " >/dev/null 2>&1")
                                     .c_str()) != 0)
                why = "a working exfat-fuse mount";
        }
        // The mount (or the FUSE daemon) holds the device now; it goes when that does.
        if (loop >= 0)
            ::close(loop);
        fs.Missing = why;
        fs.Root = why.empty() ? at : "";
    }
    return all;
}

// ---- What is on the disk -------------------------------------------------------------------

struct TEntry {
    char Type = 0;     // 'f' file, 'l' link, 'd' directory, '?' anything else
    uint64_t Hash = 0; // of the content, or of a link's text
    int64_t Size = 0;
    timespec Mtime{};
    ino_t Ino = 0;
    bool StableIno = true; // FUSE numbers a file anew once the kernel forgot it
    std::string Link;
    bool Unreadable = false; // a link SSHFS will not read back (one with ".." or absolute)
};
using TTree = std::map<std::string, TEntry>;

bool SameContent(const TEntry& a, const TEntry& b) {
    return a.Type == b.Type &&
           (a.Type == 'd' || (a.Type == 'l' && (a.Unreadable || b.Unreadable)) ||
            (a.Hash == b.Hash && a.Size == b.Size));
}

// The same file, untouched: a copy put over it with the same bytes is another file (where
// the file system keeps its numbers; through FUSE only the bytes can tell).
bool SameFile(const TEntry& a, const TEntry& b) {
    return SameContent(a, b) && (a.Ino == b.Ino || !a.StableIno) &&
           (a.Type == 'd' ||
            (a.Mtime.tv_sec == b.Mtime.tv_sec && a.Mtime.tv_nsec == b.Mtime.tv_nsec));
}

uint64_t HashBytes(uint64_t h, const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        h = (h ^ static_cast<unsigned char>(p[i])) * 0x100000001b3ull;
    return h;
}

bool IsTrash(const std::string& name) {
    return name == ".Trash" || StartsWith(name, ".Trash-");
}

struct TRoot {
    std::string Path;
    bool StableIno = true;
};

// Everything below a root (a mount point: its trash directories left out), with content
// hashes when asked for.
void Walk(const std::string& dir, bool top, bool hashes, bool stable, TTree& tree) {
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != ".." && !(top && IsTrash(name)))
            names.push_back(name);
    }
    ::closedir(d);
    for (const std::string& name : names) {
        const std::string path = Join(dir, name);
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0)
            continue;
        TEntry e;
        e.Type = S_ISREG(st.st_mode)   ? 'f'
                 : S_ISLNK(st.st_mode) ? 'l'
                 : S_ISDIR(st.st_mode) ? 'd'
                                       : '?';
        e.Size = st.st_size;
        e.Mtime = st.st_mtim;
        e.Ino = st.st_ino;
        e.StableIno = stable;
        if (hashes && e.Type == 'f') {
            uint64_t h = 0xcbf29ce484222325ull;
            int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
            static char buf[1 << 16];
            for (ssize_t n; fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0;)
                h = HashBytes(h, buf, size_t(n));
            if (fd >= 0)
                ::close(fd);
            e.Hash = h;
        } else if (e.Type == 'l') {
            char link[4096];
            const ssize_t n = ::readlink(path.c_str(), link, sizeof link);
            e.Link.assign(link, n > 0 ? size_t(n) : 0);
            e.Unreadable = n < 0;
            e.Hash = HashBytes(0xcbf29ce484222325ull, e.Link.data(), e.Link.size());
        }
        tree[path] = e;
        if (e.Type == 'd')
            Walk(path, false, hashes, stable, tree);
    }
}

TTree Snapshot(const std::vector<TRoot>& roots, bool hashes = true) {
    TTree tree;
    for (const TRoot& root : roots)
        Walk(root.Path, true, hashes, root.StableIno, tree);
    return tree;
}

// A FUSE file system keeps a file unlinked while open as ".fuse_hidden…" until it is told
// the last handle went, which it is only after the process that held it has ended: waits
// (a few seconds at most) until none is left, so that one that stays is a real leftover.
void WaitForFuseHidden(const std::vector<TRoot>& roots) {
    for (int i = 0; i < 60; ++i) {
        bool hidden = false;
        for (const auto& [path, e] : Snapshot(roots, false))
            hidden = hidden || path.find("/.fuse_hidden") != std::string::npos;
        if (!hidden)
            return;
        ::usleep(50'000);
    }
}

// A name of Ferrox's temporaries, or of a file made to look like one.
bool IsTempName(const std::string& name) {
    return StartsWith(name, ".ferrox-") && name.size() > 13 &&
           name.compare(name.size() - 5, 5, ".part") == 0;
}

// "photo (3).jpg" for "photo.jpg": a free name keep-both may give a copy (any n >= 2).
bool IsNumberedOf(const std::string& candidate, const std::string& name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        dot = name.size();
    const std::string stem = name.substr(0, dot) + " (", ext = ")" + name.substr(dot);
    if (candidate.size() <= stem.size() + ext.size() || !StartsWith(candidate, stem) ||
        candidate.compare(candidate.size() - ext.size(), ext.size(), ext) != 0)
        return false;
    const std::string n =
        candidate.substr(stem.size(), candidate.size() - stem.size() - ext.size());
    return n.find_first_not_of("0123456789") == std::string::npos && n[0] != '0' &&
           std::atol(n.c_str()) >= 2;
}

// ---- The case ------------------------------------------------------------------------------

enum class TPolicy { Overwrite, Skip, Newer, KeepBoth };
const char* const PolicyFlags[] = {"overwrite", "skip", "newer", "keep-both"};
enum class TStop { None, Int, Kill };

struct TLine {
    std::string Source;
    bool Dir = false;
    std::string Dest;
    bool Move = false;
    bool DestMissing = false;
};

// A request to the window: paths with their destination (or none), or a destination alone.
struct TRequest {
    TStrings Paths;
    std::string Dest;
    bool Move = false;
    bool MustQueue = true; // false: a destination alone with no line waiting for one
};

struct TEnv {
    std::string Work, Prog, Ctl, FerroxRun, Window, Preload, Machine, Boot;
    std::vector<TFs> Fs;
    bool Verbose = false;
};

struct TCase {
    uint64_t Seed = 0;
    const TEnv* Env = nullptr;
    const TFs* Src = nullptr;
    const TFs* Dst = nullptr;
    std::string SrcRoot, DstRoot;
    std::vector<TLine> Lines;
    TStrings Dests;
    // Options: the command line, QOPTIONS.INI, and what they mean together.
    TStrings Args;
    std::string OptionsIni;
    TPolicy Policy = TPolicy::Overwrite;
    bool PolicyFlag = false;
    bool Verify = false;
    bool VerifyFlag = false;
    bool MisspeltPolicy = false, MisspeltVerify = false;
    bool Quiet = false;
    TStop Stop = TStop::None;
    size_t StopAfter = 0;
    std::optional<TPolicy> SecondPass;
    std::vector<TRequest> Requests; // empty: the queue file is written directly
    int64_t Budget = 48 << 20;      // bytes of sources still to make
    TStrings Story;                 // what the generators made, for a report

    std::string Describe() const {
        std::string s = "sources on " + Src->Name + ", destinations on " + Dst->Name;
        for (const std::string& part : Story)
            s += "; " + part;
        return s;
    }
    bool WholeSeconds() const { return Src->Fuse || Dst->Fuse; }
};

// Writes a file of `size` bytes from rng (or the corrupting marker first), with its time.
bool MakeFile(const std::string& path, int64_t size, TRng& rng, const timespec& mtime,
              bool marked = false) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    std::string buf;
    bool ok = true;
    for (int64_t left = size; left > 0 && ok;) {
        buf.resize(size_t(std::min<int64_t>(left, 1 << 20)));
        for (size_t i = 0; i < buf.size(); i += 8) {
            const uint64_t v = rng.Next();
            std::memcpy(&buf[i], &v, std::min<size_t>(8, buf.size() - i));
        }
        if (marked && left == size)
            std::memcpy(buf.data(), test::CorruptMarker, test::CorruptMarkerLength);
        ok = ::write(fd, buf.data(), buf.size()) == ssize_t(buf.size());
        left -= int64_t(buf.size());
    }
    const timespec times[2] = {mtime, mtime};
    ok = ok && ::futimens(fd, times) == 0;
    ::close(fd);
    return ok;
}

timespec RandomTime(TRng& rng, bool wholeSeconds) {
    return {time_t(rng.Between(1550000000, 1720000000)),
            wholeSeconds ? 0 : long(rng.Below(1000000000))};
}

int64_t RandomSize(TCase& c, TRng& rng) {
    const uint64_t r = rng.Below(100);
    int64_t size = r < 55   ? rng.Between(0, 4096)
                   : r < 85 ? rng.Between(4097, 256 << 10)
                   : r < 97 ? rng.Between(256 << 10, 3 << 20)
                            : rng.Between(6 << 20, 20 << 20);
    if (size > c.Budget / 4)
        size = rng.Between(0, 4096);
    c.Budget -= size;
    return size;
}

// Now and then one file large enough that Ferrox copies it through a partial (64 MiB and
// more), which a kill leaves for the next run to continue: put into a folder line's folder
// after the generators, and drawn from a stream of its own, so that the rest of the case is
// what the seed always made. Not on SSHFS, where it would take most of the case's time.
void AddLargeFile(TCase& c) {
    TRng big{c.Seed ^ 0x6c61726765ull};
    if (!big.Chance(0.1) || c.Src->Name == "sshfs" || c.Dst->Name == "sshfs")
        return;
    TStrings folders;
    for (const TLine& line : c.Lines) {
        struct stat st;
        if (line.Dir && ::stat(line.Source.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            folders.push_back(line.Source);
    }
    if (folders.empty())
        return;
    const std::string path = Join(big.Pick(folders), "large.bin");
    const int64_t size = (int64_t(64) << 20) + big.Between(0, 8 << 20);
    if (MakeFile(path, size, big, RandomTime(big, c.Src->Fuse)))
        c.Story.push_back("a large file " + Shown(path));
}

// ---- Generators: each adds one kind of thing to the case -----------------------------------

// The options, first: the trees depend on whether copies are verified.
void GenOptions(TCase& c, TRng& rng) {
    std::string ini;
    auto option = [&](const std::string& key, const std::string& value) {
        ini += key + "=" + value + "\r\n";
        c.Story.push_back("QOPTIONS " + key + "=" + value);
    };
    const TPolicy policy = TPolicy(rng.Below(4));
    const uint64_t how = rng.Below(10);
    if (how < 5) {
        c.Args.push_back(std::string("--existing=") + PolicyFlags[int(policy)]);
        c.Policy = policy;
        c.PolicyFlag = true;
    } else if (how < 8) {
        static const TStrings names[] = {{"Overwrite", "overwrite"},
                                         {"Skip", "SKIP"},
                                         {"Newer", "newer"},
                                         {"KeepBoth", "keep-both"}};
        option("ExistingTargets", rng.Pick(names[int(policy)]));
        c.Policy = policy;
    } else if (how < 9) {
        option("ExistingTargets", rng.Pick(TStrings{"KeepBoht", "Skipp", "Newr", "overwite"}));
        c.Policy = TPolicy::Skip; // the safest reading
        c.MisspeltPolicy = true;
    }
    const uint64_t verify = rng.Below(10);
    if (verify < 3) {
        c.Args.push_back("--verify");
        c.Verify = c.VerifyFlag = true;
    } else if (verify < 6) {
        option("VerifyCopies", rng.Pick(TStrings{"1", "yes", "true", "on", "YES", "On"}));
        c.Verify = true;
    } else if (verify < 7) {
        option("VerifyCopies", rng.Pick(TStrings{"0", "no", "false", "off"}));
    } else if (verify < 8) {
        option("VerifyCopies", rng.Pick(TStrings{"ja", "yess", "tru", "enabled!"}));
        c.Verify = true; // the safest reading
        c.MisspeltVerify = true;
    }
    const std::string workers = rng.Pick(TStrings{"1", "2", "4", "8", "auto"});
    if (const uint64_t w = rng.Below(10); w < 5)
        c.Args.push_back("--workers=" + workers);
    else if (w < 8)
        option("Workers", workers);
    if (const uint64_t t = rng.Below(3); t > 0)
        option("DeleteToRecycle", t == 1 ? "1" : "0");
    if (rng.Chance(0.2))
        c.Args.push_back("--no-flush");
    if (rng.Chance(0.15)) {
        c.Args.push_back("-q");
        c.Quiet = true;
    }
    c.OptionsIni = ini.empty() ? "" : "[Options]\r\n" + ini;
    std::string flags;
    for (const std::string& a : c.Args)
        flags += " " + a;
    c.Story.push_back("ferrox-run" + flags);
}

// A name that looks like one of Ferrox's temporaries: this machine's and boot's, or
// another's, with a pid no process has.
std::string LookAlike(const TCase& c, TRng& rng) {
    static const char alnum[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    auto hex = [&](int n) {
        std::string s;
        for (int i = 0; i < n; ++i)
            s += "0123456789abcdef"[rng.Below(16)];
        return s;
    };
    const bool ours = rng.Chance(0.7) && !c.Env->Machine.empty() && !c.Env->Boot.empty();
    std::string name = ".ferrox-" + (ours ? c.Env->Machine : hex(8)) + "-" +
                       (ours ? c.Env->Boot : hex(8)) + "-" +
                       std::to_string(rng.Between(5000000, 9000000)) + "-";
    for (int i = 0; i < 6; ++i)
        name += alnum[rng.Below(sizeof alnum - 1)];
    return name + ".part";
}

// The source tree: folders with files whose names clash across them, subfolders, odd names.
void GenTree(TCase& c, TRng& rng) {
    const bool ws = c.Src->Fuse;
    TStrings folders;
    TStrings tops = {"A", "B", "C", "D"};
    tops.resize(size_t(rng.Between(2, 4)));
    if (rng.Chance(0.3))
        tops.back() = rng.Pick(TStrings{"my docs", "caf\xe9", ".hidden", "photos (2)", "x\x01y"});
    static const TStrings pool = {
        "f000",           "f001",  "f002",    "f003",     "f004",           "f005",
        "f006",           "f007",  "a b.txt", ".dotfile", "report (2).pdf", "r\xe9sum\xe9.txt",
        "archive.tar.gz", "noext", "x(3)"};
    int files = 0, sparse = 0, links = 0, lookalikes = 0, marked = 0;
    for (const std::string& top : tops) {
        folders.push_back(Join(c.SrcRoot, top));
        if (rng.Chance(0.5))
            folders.push_back(Join(folders.back(), "sub"));
        if (rng.Chance(0.15))
            folders.push_back(Join(Join(c.SrcRoot, top), "empty"));
        if (rng.Chance(0.1))
            folders.push_back(Join(Join(c.SrcRoot, top), "sub/deep"));
    }
    for (const std::string& dir : folders) {
        MakeDirs(dir);
        if (NameOf(dir) == "empty")
            continue;
        TStrings names = pool;
        for (size_t n = size_t(rng.Between(0, NameOf(dir) == "sub" ? 5 : 10)); n > 0; --n) {
            const size_t at = rng.Below(names.size());
            files += MakeFile(Join(dir, names[at]), RandomSize(c, rng), rng, RandomTime(rng, ws));
            names.erase(names.begin() + long(at));
        }
    }
    if (rng.Chance(0.15))
        for (int n = int(rng.Between(1, 2)); n > 0; --n) {
            // A hole that is no multiple of 64 KiB, data at odd offsets.
            const std::string path = Join(rng.Pick(folders), "sparse" + std::to_string(n) + ".img");
            int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            const int64_t size = rng.Between(1 << 20, 12 << 20);
            bool ok = fd >= 0 && ::ftruncate(fd, size) == 0;
            for (int k = int(rng.Between(1, 3)); ok && k > 0; --k) {
                std::string data(size_t(rng.Between(1, 100 << 10)), char(rng.Next()));
                ok = ::pwrite(fd, data.data(), data.size(), off_t(rng.Below(uint64_t(size)))) > 0;
            }
            const timespec t = RandomTime(rng, ws), times[2] = {t, t};
            if (fd >= 0) {
                ::futimens(fd, times);
                ::close(fd);
            }
            sparse += ok;
        }
    if (rng.Chance(0.3))
        for (int n = int(rng.Between(1, 3)); n > 0; --n) {
            const std::string dir = rng.Pick(folders);
            const std::string to = rng.Pick(TStrings{"f000", "../nowhere", c.SrcRoot + "/A/f001"});
            links += ::symlink(to.c_str(), Join(dir, "link" + std::to_string(n)).c_str()) == 0;
        }
    if (rng.Chance(0.25))
        for (int n = int(rng.Between(1, 2)); n > 0; --n)
            lookalikes += MakeFile(Join(rng.Pick(folders), LookAlike(c, rng)), rng.Between(0, 999),
                                   rng, RandomTime(rng, ws));
    // Only where copies are to be verified: there the verification must catch them.
    if (c.Verify && rng.Chance(0.5))
        for (int n = int(rng.Between(1, 2)); n > 0; --n)
            marked += MakeFile(Join(rng.Pick(folders), "marked" + std::to_string(n)),
                               rng.Between(64, 200 << 10), rng, RandomTime(rng, ws), true);
    c.Story.push_back(
        std::to_string(files) + " files in " + std::to_string(folders.size()) + " folders" +
        (sparse ? ", " + std::to_string(sparse) + " sparse" : "") +
        (links ? ", " + std::to_string(links) + " links" : "") +
        (lookalikes ? ", " + std::to_string(lookalikes) + " look-alike temporaries" : "") +
        (marked ? ", " + std::to_string(marked) + " corrupted in transit" : ""));
}

// The destinations: two folders, one inside the other's future content (they overlap),
// and one that does not exist.
void GenDests(TCase& c, TRng& rng) {
    c.Dests = {Join(c.DstRoot, "d1"), Join(c.DstRoot, "d2"), Join(c.DstRoot, "d1/A"),
               Join(c.DstRoot, "d2/deep/er")};
    if (rng.Chance(0.3))
        c.Dests.push_back(Join(c.DstRoot, "d1/A/sub"));
    for (const std::string& d : c.Dests)
        MakeDirs(d);
}

// Many lines that put one name into one folder: files side by side race for it.
void GenClash(TCase& c, TRng& rng) {
    if (!rng.Chance(0.4))
        return;
    const bool ws = c.Src->Fuse;
    const int names = int(rng.Between(10, 100));
    const int copies = int(rng.Between(2, 3));
    const bool asFolders = rng.Chance(0.4);
    const bool move = rng.Chance(0.6);
    const std::string dest = rng.Pick(TStrings{c.Dests[0], c.Dests[1]});
    // One folder after the other, or the same name from each in turn (side by side then).
    const uint64_t order = asFolders ? 0 : rng.Below(3);
    std::vector<TLine> lines;
    for (int k = 0; k < copies; ++k) {
        const std::string dir =
            Join(c.SrcRoot, std::string(1, char('P' + k)) + (asFolders ? "/data" : ""));
        MakeDirs(dir);
        for (int n = 0; n < names; ++n) {
            char name[16];
            std::snprintf(name, sizeof name, "c%03d", n);
            if (MakeFile(Join(dir, name), rng.Between(0, 2048), rng, RandomTime(rng, ws)) &&
                !asFolders)
                lines.push_back({Join(dir, name), false, dest, move});
        }
        if (asFolders)
            lines.push_back({dir, true, dest, move});
    }
    if (order == 1) // by name: P/c000, Q/c000, P/c001, ...
        std::stable_sort(lines.begin(), lines.end(), [](const TLine& a, const TLine& b) {
            return NameOf(a.Source) < NameOf(b.Source);
        });
    for (size_t i = lines.size(); order == 2 && i > 1; --i)
        std::swap(lines[i - 1], lines[rng.Below(i)]);
    c.Lines.insert(c.Lines.end(), lines.begin(), lines.end());
    c.Story.push_back(std::to_string(names) + " names from " + std::to_string(copies) +
                      (asFolders    ? " folder lines"
                       : order == 0 ? " folders as file lines"
                       : order == 1 ? " folders as file lines, name by name"
                                    : " folders as file lines, shuffled") +
                      " into " + NameOf(dest) + (move ? ", Move" : ", Copy"));
}

// Random lines over the tree: files and folders, Copy and Move, the same source twice.
void GenQueue(TCase& c, TRng& rng) {
    TTree tree = Snapshot({{c.SrcRoot}}, false);
    TStrings files, dirs;
    for (const auto& [path, e] : tree)
        (e.Type == 'd' ? dirs : files).push_back(path);
    const uint64_t moves = rng.Below(3); // all Copy, all Move, mixed
    size_t added = 0;
    for (int n = int(rng.Between(1, 6)); n > 0 && !(files.empty() && dirs.empty()); --n) {
        TLine line;
        line.Dir = files.empty() || (!dirs.empty() && rng.Chance(0.6));
        line.Source = rng.Pick(line.Dir ? dirs : files);
        line.Move = moves == 1 || (moves == 2 && rng.Chance(0.5));
        line.Dest = rng.Pick(c.Dests);
        if (!line.Dir && rng.Chance(0.05)) {
            line.Dest = Join(c.DstRoot, "missing");
            line.DestMissing = true;
        }
        c.Lines.insert(c.Lines.begin() + long(rng.Below(c.Lines.size() + 1)), line);
        ++added;
    }
    if (!c.Lines.empty() && rng.Chance(0.1)) {
        TLine again = rng.Pick(c.Lines);
        again.Dest = rng.Pick(c.Dests);
        again.DestMissing = false;
        c.Lines.push_back(again);
    }
    size_t moved = 0, folders = 0;
    for (const TLine& l : c.Lines) {
        moved += l.Move;
        folders += l.Dir;
    }
    c.Story.push_back(std::to_string(c.Lines.size()) + " lines (" + std::to_string(folders) +
                      " folders, " + std::to_string(moved) + " Move)");
}

// Now and then the queue is built by `ferrox` requests to a window instead: a destination
// alone first (an empty queue), paths without one and their destination next, or paths
// with theirs.
void GenRequests(TCase& c, TRng& rng) {
    // A window saves a queue of more than 30 lines only when it closes through its button.
    if (c.Env->Window.empty() || !rng.Chance(0.15) || c.Lines.size() > 30)
        return;
    // A dangling link is a path that does not exist, for which `ferrox` queues nothing.
    for (const TLine& l : c.Lines)
        if (struct stat st; ::lstat(l.Source.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            return;
    for (TLine& l : c.Lines)
        if (l.DestMissing) { // a request for a missing folder is refused whole
            l.Dest = c.Dests[1];
            l.DestMissing = false;
        }
    if (rng.Chance(0.3))
        c.Requests.push_back({{}, c.Dests[1], false, false});
    for (size_t i = 0; i < c.Lines.size();) {
        TRequest r{{}, c.Lines[i].Dest, c.Lines[i].Move};
        for (; i < c.Lines.size() && c.Lines[i].Dest == r.Dest && c.Lines[i].Move == r.Move; ++i)
            r.Paths.push_back(c.Lines[i].Source);
        if (rng.Chance(0.25)) {
            c.Requests.push_back({r.Paths, "", r.Move});
            c.Requests.push_back({{}, r.Dest});
        } else {
            c.Requests.push_back(r);
        }
        if (rng.Chance(0.1))
            c.Requests.push_back({{}, rng.Pick(c.Dests), false, false});
    }
    c.Story.push_back("queue through " + std::to_string(c.Requests.size()) +
                      " requests to a window");
}

// The files a queue asks to be copied: a file line's own, and every file below a folder
// line, each with the name its target gets.
struct TFileLine {
    std::string Source, Target;
    bool Move;
};

std::vector<TFileLine> Expand(const std::vector<TLine>& lines, const TTree& before,
                              std::set<std::string>* dirs = nullptr) {
    std::vector<TFileLine> out;
    for (const TLine& l : lines) {
        auto it = before.find(l.Source);
        if (it == before.end())
            continue;
        if (!l.Dir) {
            if (it->second.Type != 'd')
                out.push_back({l.Source, Join(l.Dest, NameOf(l.Source)), l.Move});
            continue;
        }
        const std::string base = Join(l.Dest, NameOf(l.Source));
        if (dirs)
            dirs->insert(base);
        for (it = before.lower_bound(l.Source + "/");
             it != before.end() && Below(it->first, l.Source); ++it) {
            const std::string target = base + it->first.substr(l.Source.size());
            if (it->second.Type == 'd') {
                if (dirs)
                    dirs->insert(target);
            } else {
                out.push_back({it->first, target, l.Move});
            }
        }
    }
    return out;
}

// Targets that exist already, older, newer or as old as their sources, some of the same
// size; numbered names taken; look-alike temporaries and unrelated files beside them.
void GenExisting(TCase& c, TRng& rng) {
    const double share = rng.Pick(std::vector<double>{0, 0, 0.2, 0.5});
    const TTree tree = Snapshot({{c.SrcRoot}});
    const bool ws = c.WholeSeconds();
    int made = 0, numbered = 0, beside = 0;
    std::set<std::string> done;
    for (const TFileLine& f : Expand(c.Lines, tree)) {
        if (!rng.Chance(share) || !done.insert(f.Target).second || !Below(f.Target, c.DstRoot))
            continue;
        if (!StartsWith(f.Target, c.DstRoot + "/missing"))
            MakeDirs(DirOf(f.Target));
        const TEntry& s = tree.at(f.Source);
        timespec t = s.Mtime;
        switch (rng.Below(4)) {
        case 0: // older
            t.tv_sec -= rng.Between(2, 3600);
            break;
        case 1: // newer
            t.tv_sec += rng.Between(2, 3600);
            break;
        case 2: // as old, at what both file systems keep
            if (ws)
                t.tv_nsec = 0;
            break;
        default: // the same second, another part of it, where both keep parts
            if (!ws)
                t.tv_nsec = long(rng.Below(1000000000));
            break;
        }
        const int64_t size = rng.Chance(0.3) ? s.Size : rng.Between(0, 65536);
        made += MakeFile(f.Target, std::min<int64_t>(size, 1 << 20), rng, t);
        if (rng.Chance(0.2)) {
            std::string name = NameOf(f.Target);
            size_t dot = name.rfind('.');
            if (dot == std::string::npos || dot == 0)
                dot = name.size();
            numbered +=
                MakeFile(Join(DirOf(f.Target), name.substr(0, dot) + " (2)" + name.substr(dot)),
                         rng.Between(0, 999), rng, t);
        }
        if (rng.Chance(0.1))
            beside +=
                MakeFile(Join(DirOf(f.Target), LookAlike(c, rng)), rng.Between(0, 999), rng, t);
    }
    for (int n = int(rng.Between(0, 2)); n > 0; --n)
        beside += MakeFile(Join(rng.Pick(c.Dests), "keep-me" + std::to_string(n)),
                           rng.Between(0, 999), rng, RandomTime(rng, c.Dst->Fuse));
    if (rng.Chance(0.25))
        beside += MakeFile(Join(c.Dests[rng.Below(2)], LookAlike(c, rng)), rng.Between(0, 999), rng,
                           RandomTime(rng, c.Dst->Fuse));
    if (made + numbered + beside)
        c.Story.push_back(std::to_string(made) + " targets exist (" + std::to_string(numbered) +
                          " numbered names taken), " + std::to_string(beside) +
                          " other files beside them");
}

void GenInterrupt(TCase& c, TRng& rng) {
    if (c.Quiet) // the moment is counted in lines that -q does not print
        return;
    const uint64_t r = rng.Below(20);
    c.Stop = r < 5 ? TStop::Int : r < 9 ? TStop::Kill : TStop::None;
    c.StopAfter =
        size_t(rng.Below(Expand(c.Lines, Snapshot({{c.SrcRoot}}, false)).size() * 3 / 4 + 1));
    if (c.Stop != TStop::None)
        c.Story.push_back(std::string(c.Stop == TStop::Int ? "SIGINT" : "SIGKILL") + " after " +
                          std::to_string(c.StopAfter) + " files, then again");
}

void GenSecondPass(TCase& c, TRng& rng) {
    if (rng.Chance(0.15)) {
        c.SecondPass = rng.Chance(0.7) ? TPolicy::Newer : TPolicy::Skip;
        c.Story.push_back(std::string("the whole queue again with --existing=") +
                          PolicyFlags[int(*c.SecondPass)]);
    }
}

struct TGenerator {
    const char* Name;
    void (*Make)(TCase&, TRng&);
};
const TGenerator Generators[] = {
    {"options", GenOptions},   {"tree", GenTree},           {"destinations", GenDests},
    {"clash", GenClash},       {"queue", GenQueue},         {"requests", GenRequests},
    {"existing", GenExisting}, {"interrupt", GenInterrupt}, {"second pass", GenSecondPass},
};

// ---- Running -------------------------------------------------------------------------------

struct TSavedLine {
    char Kind = 'F';
    std::string Path, To;
    bool Done = false, Move = false;
    bool operator==(const TSavedLine&) const = default;
};

std::vector<TSavedLine> ParseQueue(const std::string& text) {
    std::map<std::string, std::string> keys;
    bool inQueue = false;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? end : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line[0] == '[')
            inQueue = line == "[Queue]";
        else if (size_t eq = line.find('='); inQueue && eq != std::string::npos)
            keys.emplace(line.substr(0, eq), line.substr(eq + 1));
    }
    std::vector<TSavedLine> lines;
    for (int n = 1; keys.count("FROM-" + std::to_string(n)); ++n) {
        const std::string k = std::to_string(n), from = keys["FROM-" + k];
        lines.push_back({from.size() > 1 && from[1] == ':' ? from[0] : '?',
                         from.size() > 1 && from[1] == ':' ? from.substr(2) : from,
                         WithoutSlash(keys["TO-" + k]), keys["DONE-" + k] == "1",
                         keys["MOVE-" + k] == "1"});
    }
    return lines;
}

std::string QueueText(const std::vector<TLine>& lines) {
    std::string text = "[Queue]\r\n";
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        text += "FROM-" + n + "=" + (lines[i].Dir ? "D:" : "F:") + lines[i].Source + "\r\nTO-" + n +
                "=" + lines[i].Dest + "\r\nDONE-" + n + "=0\r\nMOVE-" + n + "=" +
                (lines[i].Move ? "1" : "0") + "\r\n";
    }
    return text;
}

struct TRun {
    TStrings Args;
    int Exit = -1;       // the exit status, or -1 when a signal ended it
    bool Killed = false; // by our SIGKILL (or the time limit)
    bool SentInt = false;
    bool Hung = false;
    pid_t Pid = 0;
    std::string Out, Err, QueueBefore, QueueAfter;
    TStrings Temps; // Ferrox-like names on the file systems after it ended
};

TStrings Environment(const TEnv& env, bool window) {
    TStrings vars = {"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                     "LC_ALL=C",
                     "HOME=" + env.Ctl + "/home",
                     "XDG_DATA_HOME=" + env.Ctl + "/data",
                     "XDG_CONFIG_HOME=" + env.Ctl + "/config",
                     "XDG_STATE_HOME=" + env.Ctl + "/state",
                     "XDG_RUNTIME_DIR=" + env.Ctl + "/run"};
    if (window)
        vars.push_back("QT_QPA_PLATFORM=offscreen");
    else if (!env.Preload.empty())
        vars.push_back("LD_PRELOAD=" + env.Preload);
    return vars;
}

// Starts a program in the control directory with its output into pipes (or a file).
pid_t Spawn(const TEnv& env, const TStrings& argv, bool window, int out, int err) {
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&files, out, 1);
    posix_spawn_file_actions_adddup2(&files, err, 2);
    posix_spawn_file_actions_addchdir_np(&files, env.Ctl.c_str());
    std::vector<char*> args, vars;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const TStrings environment = Environment(env, window);
    for (const std::string& v : environment)
        vars.push_back(const_cast<char*>(v.c_str()));
    vars.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0].c_str(), &files, nullptr, args.data(), vars.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&files);
    return pid;
}

// Waits for a process, `limit` at most, then kills it; its exit status, -1 after a signal.
int WaitFor(pid_t pid, std::chrono::seconds limit, bool* killed = nullptr) {
    const auto until = Clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > until) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            if (killed)
                *killed = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TStrings TempNames(const std::vector<TRoot>& roots) {
    TStrings temps;
    for (const auto& [path, e] : Snapshot(roots, false))
        if (IsTempName(NameOf(path)))
            temps.push_back(path);
    return temps;
}

// ferrox-run on the queue file, interrupted by `stop` once it said it finished `after`
// files (at its start for 0).
TRun RunFerroxRun(const TEnv& env, const TStrings& args, const std::string& queue, TStop stop,
                  size_t after, const std::vector<TRoot>& roots) {
    TRun run;
    run.Args = args;
    run.QueueBefore = ReadText(queue);
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        Fatal("pipe2");
    TStrings argv = {env.FerroxRun};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(queue);
    run.Pid = Spawn(env, argv, false, out[1], err[1]);
    ::close(out[1]);
    ::close(err[1]);
    if (run.Pid < 0)
        Fatal("cannot start " + env.FerroxRun);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    const auto until = Clock::now() + std::chrono::minutes(10);
    bool sent = false;
    for (int open = 2; open > 0;) {
        if (::poll(fds, 2, 1000) < 0 && errno != EINTR)
            break;
        for (pollfd& p : fds) {
            if (p.fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[65536];
            const ssize_t n = ::read(p.fd, buf, sizeof buf);
            if (n > 0) {
                (&p == &fds[0] ? run.Out : run.Err).append(buf, size_t(n));
            } else {
                ::close(p.fd);
                p.fd = -1;
                --open;
            }
        }
        if (stop != TStop::None && !sent &&
            (after == 0 ? run.Out.find("Starting Copy") != std::string::npos
                        : Count(run.Out, "Finished Copying file [") >= after)) {
            ::kill(run.Pid, stop == TStop::Int ? SIGINT : SIGKILL);
            sent = true;
            run.SentInt = stop == TStop::Int;
            run.Killed = stop == TStop::Kill;
        }
        if (Clock::now() > until && !run.Hung) {
            ::kill(run.Pid, SIGKILL);
            run.Hung = run.Killed = true;
        }
    }
    for (pollfd& p : fds)
        if (p.fd >= 0)
            ::close(p.fd);
    int status = 0;
    ::waitpid(run.Pid, &status, 0);
    run.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    // A SIGKILL that came after the program had ended killed nothing.
    run.Killed = run.Killed && run.Exit < 0;
    run.QueueAfter = ReadText(queue);
    if (!run.Killed)
        run.Temps = TempNames(roots);
    return run;
}

// What the window was asked, what the queue it saved holds, and the requests' failures.
struct TWindowResult {
    std::vector<TSavedLine> Expected, Saved;
    TStrings Refused;
    std::string Missing; // the window could not be used: why
};

TWindowResult BuildThroughWindow(const TEnv& env, const TCase& c, const std::string& queue) {
    TWindowResult r;
    for (const TLine& l : c.Lines)
        r.Expected.push_back({l.Dir ? 'D' : 'F', l.Source, l.Dest, false, l.Move});
    const std::string log = env.Ctl + "/window.log";
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_APPEND, 0644);
    const pid_t window = Spawn(env, {env.Window}, true, fd, fd);
    const std::string socket = env.Ctl + "/run/ferrox.socket";
    struct stat st;
    // Its socket appears once its queue is loaded and it listens.
    for (auto until = Clock::now() + std::chrono::seconds(60); ::stat(socket.c_str(), &st) != 0;) {
        const bool ended = window < 0 || ::waitpid(window, nullptr, WNOHANG) == window;
        if (ended || Clock::now() > until) {
            if (!ended) {
                ::kill(window, SIGKILL);
                ::waitpid(window, nullptr, 0);
            }
            r.Missing = std::string(ended ? "it ended at its start: " : "no socket after 60 s: ") +
                        ReadText(log);
            ::close(fd);
            return r;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (const TRequest& q : c.Requests) {
        TStrings argv = {env.Window};
        if (q.Move)
            argv.push_back("--move");
        if (!q.Dest.empty())
            argv.insert(argv.end(), {"--to", q.Dest});
        argv.push_back("--");
        argv.insert(argv.end(), q.Paths.begin(), q.Paths.end());
        const pid_t pid = Spawn(env, argv, true, fd, fd);
        if (const int status = WaitFor(pid, std::chrono::seconds(60)); status != 0 && q.MustQueue)
            r.Refused.push_back("`ferrox" + std::string(q.Move ? " --move" : "") +
                                (q.Dest.empty() ? "" : " --to " + Shown(q.Dest)) + " " +
                                std::to_string(q.Paths.size()) + " paths` exited " +
                                std::to_string(status));
    }
    // Each request was saved as it was applied; the window has nothing more to say.
    ::kill(window, SIGTERM);
    WaitFor(window, std::chrono::seconds(30));
    ::close(fd);
    const std::string saved = ReadText(env.Prog + "/QUEUE.INI");
    r.Saved = ParseQueue(saved);
    for (TSavedLine& l : r.Saved)
        l.Done = false;
    scratch::WriteWhole(queue, saved);
    ::unlink((env.Prog + "/QUEUE.INI").c_str());
    return r;
}

// ---- The model: one phase (a queue run to its end, perhaps interrupted and run again) -----

struct TPhase {
    TPhase(const TCase& c, int number) : Case(c), Number(number) {}
    const TCase& Case;
    int Number;
    TPolicy Policy = TPolicy::Overwrite;
    bool PolicyFromFile = false; // no flag overrides what QOPTIONS.INI says
    std::vector<TLine> Lines;
    TTree Before, After;
    std::vector<TRun> Runs;
    std::vector<TSavedLine> Saved;
    std::optional<TWindowResult> Window;

    std::vector<TFileLine> Files;        // what the queue asks for, by the tree before
    std::set<std::string> FolderTargets; // the folders folder lines make
    std::map<std::string, std::vector<size_t>> BySource, ByTarget;
    std::map<std::pair<uint64_t, int64_t>, std::string> ByContent; // a source's bytes

    void Index() {
        Files = Expand(Lines, Before, &FolderTargets);
        for (size_t i = 0; i < Files.size(); ++i) {
            BySource[Files[i].Source].push_back(i);
            ByTarget[Files[i].Target].push_back(i);
            const TEntry& e = Before.at(Files[i].Source);
            ByContent.emplace(std::make_pair(e.Hash, e.Type == 'l' ? -1 - e.Size : e.Size),
                              Files[i].Source);
        }
    }
    bool Interrupted() const {
        for (const TRun& r : Runs)
            if (r.SentInt || r.Killed)
                return true;
        return false;
    }
    // A name reserved by a copy a kill stopped before it renamed over it: it holds the name
    // of that copy's temporary.
    bool KilledRunsReservation(const std::string& path) const {
        std::string held(200, '\0');
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        const ssize_t n = fd >= 0 ? ::read(fd, held.data(), held.size()) : -1;
        if (fd >= 0)
            ::close(fd);
        if (n <= 0 || !IsTempName(held.substr(0, size_t(n))))
            return false;
        held.resize(size_t(n));
        for (const TRun& r : Runs)
            if (r.Killed && held.find("-" + std::to_string(r.Pid) + "-") != std::string::npos)
                return true;
        return false;
    }
    bool Killed() const {
        for (const TRun& r : Runs)
            if (r.Killed)
                return true;
        return false;
    }
    const TEntry* BeforeAt(const std::string& p) const {
        auto it = Before.find(p);
        return it == Before.end() ? nullptr : &it->second;
    }
    const TEntry* AfterAt(const std::string& p) const {
        auto it = After.find(p);
        return it == After.end() ? nullptr : &it->second;
    }
    // The source whose bytes the entry holds, if any.
    std::string SourceOf(const TEntry& e) const {
        if (e.Type != 'f' && e.Type != 'l')
            return {};
        auto it = ByContent.find({e.Hash, e.Type == 'l' ? -1 - e.Size : e.Size});
        return it == ByContent.end() ? "" : it->second;
    }
    // What a path holds now, in words.
    std::string Holds(const std::string& p) const {
        const TEntry* a = AfterAt(p);
        if (!a)
            return "nothing";
        if (const TEntry* b = BeforeAt(p); b && SameFile(*a, *b))
            return "what it held before";
        if (std::string s = SourceOf(*a); !s.empty())
            return "the bytes of " + Shown(s);
        return a->Type == 'd'   ? "a directory"
               : a->Type == 'l' ? "a link to '" + Shown(a->Link) + "', of no source"
                                : "bytes of no source";
    }
    bool HoldsSource(const std::string& p, const std::string& source) const {
        const TEntry* a = AfterAt(p);
        return a && SameContent(*a, Before.at(source));
    }
    // Where keep-both may have put a copy of `target`: the name itself or a numbered one.
    TStrings NumberedBeside(const std::string& target) const {
        TStrings found;
        const std::string dir = DirOf(target), name = NameOf(target);
        for (auto it = After.lower_bound(dir + "/"); it != After.end() && Below(it->first, dir);
             ++it)
            if (DirOf(it->first) == dir && IsNumberedOf(NameOf(it->first), name))
                found.push_back(it->first);
        return found;
    }
    bool Later(const timespec& a, const timespec& b) const {
        if (Case.WholeSeconds())
            return a.tv_sec > b.tv_sec;
        return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
    }
    // Another line's source with the same target holds it: a later run of an interrupted
    // queue may replace what an earlier one put there, as the policy allows.
    bool ReplacedAcrossRuns(const std::string& target, const std::string& source) const {
        if (!Interrupted() || (Policy != TPolicy::Overwrite && Policy != TPolicy::Newer))
            return false;
        auto it = ByTarget.find(target);
        if (it == ByTarget.end())
            return false;
        for (size_t i : it->second)
            if (Files[i].Source != source && HoldsSource(target, Files[i].Source))
                return true;
        return false;
    }
    bool PermittedTarget(const std::string& p) const {
        if (ByTarget.count(p))
            return true;
        if (Policy == TPolicy::KeepBoth)
            for (const auto& [target, lines] : ByTarget)
                if (DirOf(target) == DirOf(p) && IsNumberedOf(NameOf(p), NameOf(target)))
                    return true;
        return false;
    }
    bool Covered(const std::string& source) const { return BySource.count(source) > 0; }
    const TSavedLine* SavedFor(const std::string& source) const {
        const TSavedLine* found = nullptr;
        for (const TSavedLine& l : Saved)
            if (l.Path == source) {
                if (found)
                    return nullptr; // more than one line: no single answer
                found = &l;
            }
        return found;
    }
};

struct TFindings {
    std::map<std::string, TStrings> ByInvariant;
    const char* Current = "";
    void Add(const std::string& what) { ByInvariant[Current].push_back(what); }
};

struct TSummary {
    bool Found = false;
    long Copied = 0, Skipped = 0, Failed = 0, NotReached = 0, Aborted = 0;
    bool SaysAborted = false, NotSaved = false;
    std::string Line;
};

TSummary ParseSummary(const std::string& out) {
    TSummary s;
    size_t at = out.rfind("ferrox-run: ");
    for (; at != std::string::npos; at = at ? out.rfind("ferrox-run: ", at - 1) : std::string::npos)
        if (out.find(" lines copied", at) < out.find('\n', at))
            break;
    if (at == std::string::npos)
        return s;
    const std::string line = out.substr(at, out.find('\n', at) - at);
    s.Found = true;
    s.Line = line;
    auto number = [&](const char* what) {
        std::smatch m;
        return std::regex_search(line, m, std::regex(std::string("(\\d+) ") + what))
                   ? std::atol(m[1].str().c_str())
                   : 0L;
    };
    s.Copied = number("lines copied");
    s.Skipped = number("skipped");
    s.Failed = number("failed");
    s.NotReached = number("not reached");
    s.Aborted = number("aborted") + number("interrupted"); // whichever word it uses
    s.SaysAborted = line.find("aborted") != std::string::npos;
    s.NotSaved = line.find("not saved") != std::string::npos ||
                 line.find("queue saved as") != std::string::npos;
    return s;
}

// ---- Invariants: one place each ------------------------------------------------------------

// Every source is still at its place, unchanged, or its bytes are where its line points.
void NothingLost(const TPhase& p, TFindings& f) {
    for (const auto& [source, lines] : p.BySource) {
        const TEntry& before = p.Before.at(source);
        if (const TEntry* now = p.AfterAt(source)) {
            if (!SameContent(*now, before))
                f.Add("a source changed: " + Shown(source));
            continue;
        }
        bool moved = false, found = false;
        TStrings targets;
        for (size_t i : lines) {
            const TFileLine& l = p.Files[i];
            moved |= l.Move;
            TStrings places = p.NumberedBeside(l.Target);
            places.push_back(l.Target);
            for (const std::string& t : places)
                found |= p.HoldsSource(t, source);
            found |= p.ReplacedAcrossRuns(l.Target, source);
            targets.push_back(Shown(l.Target) + " holds " + p.Holds(l.Target));
        }
        if (!moved)
            f.Add("a source that was only to be copied is gone: " + Shown(source));
        else if (!found)
            f.Add("a moved file exists nowhere: " + Shown(source) + " (" + targets.front() +
                  (targets.size() > 1 ? ", and " + std::to_string(targets.size() - 1) + " more"
                                      : "") +
                  ")");
    }
}

// Nothing outside the destinations was written, nothing that existed before was changed
// (except targets, which the policy judges), and every new file holds a source's bytes.
void OnlyTargetsWritten(const TPhase& p, TFindings& f) {
    for (const auto& [path, before] : p.Before) {
        if (p.Covered(path) || p.ByTarget.count(path))
            continue; // NothingLost and PolicyKept judge these
        const TEntry* now = p.AfterAt(path);
        if (before.Type == 'd') {
            bool underMovedFolder = false;
            for (const TLine& l : p.Lines)
                underMovedFolder |= l.Dir && l.Move && (path == l.Source || Below(path, l.Source));
            if (!now && !underMovedFolder)
                f.Add("a directory disappeared: " + Shown(path));
        } else if (!now || !SameFile(*now, before)) {
            f.Add("a file no line names was " +
                  std::string(!now                         ? "removed"
                              : !SameContent(*now, before) ? "changed"
                              : now->Ino != before.Ino     ? "replaced"
                                                           : "given another time") +
                  ": " + Shown(path));
        }
    }
    // The folders the lines make: their destinations, with what leads to them, and the
    // folders folder lines copy.
    std::set<std::string> folders = p.FolderTargets;
    for (const TFileLine& l : p.Files)
        for (std::string d = DirOf(l.Target); Below(d, p.Case.DstRoot); d = DirOf(d))
            folders.insert(d);
    for (const TLine& l : p.Lines)
        for (std::string d = l.Dest; Below(d, p.Case.DstRoot); d = DirOf(d))
            folders.insert(d);
    for (const auto& [path, now] : p.After) {
        if (p.BeforeAt(path))
            continue;
        const bool temp = IsTempName(NameOf(path));
        if (now.Type == 'd' ? folders.count(path) > 0 : p.PermittedTarget(path)) {
            bool ok = now.Type == 'd';
            for (const auto& [target, lines] : p.ByTarget)
                if (target == path ||
                    (DirOf(target) == DirOf(path) && IsNumberedOf(NameOf(path), NameOf(target))))
                    for (size_t i : lines) {
                        ok |= p.HoldsSource(path, p.Files[i].Source);
                        // Where names are taken by an exclusive create (FUSE), a kill
                        // between the create and the rename leaves the name (or the
                        // free name keep-both chose) taken, empty or holding the killed
                        // copy's word, until a later copy comes to that folder (what it
                        // was for went on under another name, or
                        // stayed: the checks of lost files see to that).
                        ok |= p.Killed() && p.Case.Dst->Fuse && now.Type == 'f' &&
                              (now.Size == 0 || p.KilledRunsReservation(path));
                    }
            if (!ok)
                f.Add("a new file under a target's name holds bytes of no source: " + Shown(path) +
                      " (" + std::to_string(now.Size) + " bytes)");
        } else if (!temp) {
            f.Add("written where no line points: " + Shown(path) +
                  (now.Type == 'f' ? " (" + p.Holds(path) + ")" : ""));
        }
    }
}

// What existed under a target's name stays unless the policy lets a newer copy replace it.
void PolicyKept(const TPhase& p, TFindings& f) {
    for (const auto& [target, lines] : p.ByTarget) {
        const TEntry* before = p.BeforeAt(target);
        if (!before)
            continue;
        const TEntry* now = p.AfterAt(target);
        if (now && SameFile(*now, *before))
            continue;
        if (!now) {
            f.Add("an existing target disappeared: " + Shown(target));
            continue;
        }
        std::string by;
        bool newer = false;
        for (size_t i : lines)
            if (p.HoldsSource(target, p.Files[i].Source)) {
                by = p.Files[i].Source;
                newer |= p.Later(p.Before.at(by).Mtime, before->Mtime);
            }
        const std::string what = Shown(target) + (by.empty() ? "" : " by " + Shown(by));
        if (by.empty())
            f.Add("an existing target was replaced by bytes of no line's source: " + what);
        else if (p.Policy == TPolicy::Skip)
            f.Add("skip replaced an existing target: " + what);
        else if (p.Policy == TPolicy::KeepBoth)
            f.Add("keep-both replaced an existing file: " + what);
        else if (p.Policy == TPolicy::Newer && !newer)
            f.Add("newer replaced a target that is not older than its source: " + what);
    }
    // What the policy leaves is counted as skipped: so a target copied again with the same
    // bytes and time shows even where the file system cannot tell the new file from the old.
    if (p.Policy != TPolicy::Skip && p.Policy != TPolicy::Newer)
        return;
    long skipped = 0;
    bool told = false;
    std::string all;
    for (const TRun& r : p.Runs)
        if (const TSummary s = ParseSummary(r.Out); !r.Killed && s.Found) {
            told = true;
            skipped += s.Skipped;
            all += r.Out;
        }
    TStrings mustLeave, notSaid;
    for (const auto& [target, lines] : p.ByTarget) {
        const TEntry* before = p.BeforeAt(target);
        const std::string& source = p.Files[lines[0]].Source;
        // (A link SSHFS will not read fails before any policy is asked.)
        if (lines.size() == 1 && before && before->Type == 'f' &&
            p.BySource.at(source).size() == 1 && !IsTempName(NameOf(source)) &&
            !p.Before.at(source).Unreadable &&
            (p.Policy == TPolicy::Skip || !p.Later(p.Before.at(source).Mtime, before->Mtime))) {
            mustLeave.push_back(target);
            if (all.find("Skipped, target exists [" + target + "]") == std::string::npos)
                notSaid.push_back(Shown(target));
        }
    }
    if (told && skipped < long(mustLeave.size()))
        f.Add("the policy was to leave " + std::to_string(mustLeave.size()) +
              " existing targets, the runs skipped " + std::to_string(skipped) +
              (p.Case.Quiet || notSaid.empty() ? "" : "; not said skipped: " + notSaid[0]));
}

// After a run that ended by itself (also by Ctrl-C), no temporary of Ferrox's is left; a
// user's file that only looks like one is a file like any other.
void NoTemporariesLeft(const TPhase& p, TFindings& f) {
    std::set<std::string> killed;
    for (const TRun& r : p.Runs)
        if (r.Killed)
            killed.insert("-" + std::to_string(r.Pid) + "-");
    for (const TRun& r : p.Runs)
        for (const std::string& temp : r.Temps) {
            bool fromKilled = false;
            for (const std::string& pid : killed)
                fromKilled |= temp.find(pid) != std::string::npos;
            if (!p.BeforeAt(temp) && !p.PermittedTarget(temp) && !fromKilled)
                f.Add("a temporary remained after a run that ended normally: " + Shown(temp));
        }
}

// A line marked done has its source's bytes at its target, unless the policy left what
// was there; a folder line marked done has a line for each of its entries; a moved line
// not done still has its source.
void DoneMarksTrue(const TPhase& p, TFindings& f) {
    if (p.Runs.empty() || p.Runs.back().Killed)
        return;
    bool overlappingMoves = false;
    for (const TLine& a : p.Lines)
        for (const TLine& b : p.Lines)
            overlappingMoves |= &a != &b && (a.Move || b.Move) &&
                                (a.Source == b.Source || Below(b.Source, a.Source));
    std::set<std::string> saved;
    for (const TSavedLine& l : p.Saved)
        saved.insert(l.Path);
    for (const TSavedLine& l : p.Saved) {
        const TEntry* source = p.BeforeAt(l.Path);
        if (!source)
            continue;
        if (l.Kind == 'D' && l.Done && !overlappingMoves) {
            for (auto it = p.Before.lower_bound(l.Path + "/");
                 it != p.Before.end() && Below(it->first, l.Path); ++it)
                // (One moved away by an earlier, killed run of the queue is not there to list.)
                if (DirOf(it->first) == l.Path && !saved.count(it->first) && p.AfterAt(it->first))
                    f.Add("a folder line is done without a line for its entry " + Shown(it->first));
            continue;
        }
        const std::string target = Join(l.To, NameOf(l.Path));
        if (l.Kind == 'F' && !l.Done && l.Move && !p.Killed() && !p.AfterAt(l.Path) &&
            p.BySource.count(l.Path) && p.BySource.at(l.Path).size() == 1)
            f.Add("a moved line not done lost its source: " + Shown(l.Path));
        if (l.Kind != 'F' || !l.Done || p.HoldsSource(target, l.Path))
            continue;
        bool ok = p.ReplacedAcrossRuns(target, l.Path);
        const TEntry* now = p.AfterAt(target);
        if (p.Policy == TPolicy::KeepBoth)
            for (const std::string& n : p.NumberedBeside(target))
                ok |= p.HoldsSource(n, l.Path);
        if (p.Policy == TPolicy::Skip)
            ok |= now != nullptr;
        if (p.Policy == TPolicy::Newer)
            ok |= now && !p.Later(source->Mtime, now->Mtime);
        if (!ok)
            f.Add("a line marked done does not have its source's bytes at its target: " +
                  Shown(l.Path) + " (" + Shown(target) + " holds " + p.Holds(target) + ")");
    }
}

// A folder line marked Move moves its files and removes the source folders it emptied;
// a folder that kept an entry stays.
void FoldersMoved(const TPhase& p, TFindings& f) {
    if (p.Runs.empty() || p.Runs.back().Exit < 0 || p.Runs.back().Exit == 2)
        return;
    for (const TLine& line : p.Lines) {
        if (!line.Dir || !line.Move || !p.BeforeAt(line.Source))
            continue;
        // Only what this line alone covers.
        auto alone = [&](const std::string& path) {
            for (const TLine& other : p.Lines)
                if (&other != &line && (other.Source == path || Below(other.Source, path) ||
                                        Below(path, other.Source)))
                    return false;
            return true;
        };
        std::vector<std::pair<std::string, TEntry>> below = {
            {line.Source, p.Before.at(line.Source)}};
        for (auto it = p.Before.lower_bound(line.Source + "/");
             it != p.Before.end() && Below(it->first, line.Source); ++it)
            below.push_back(*it);
        for (auto it = below.begin(); it != below.end(); ++it) {
            const std::string& path = it->first;
            if (!alone(path))
                continue;
            if (it->second.Type == 'd') {
                bool hadEntries = false, hasEntries = false;
                auto b = p.Before.lower_bound(path + "/");
                hadEntries = b != p.Before.end() && Below(b->first, path);
                auto a = p.After.lower_bound(path + "/");
                hasEntries = a != p.After.end() && Below(a->first, path);
                if (hadEntries && !hasEntries && p.AfterAt(path))
                    f.Add("a folder the Move emptied is still there: " + Shown(path));
                continue;
            }
            if (!p.AfterAt(path) || p.BySource.count(path) == 0 || p.BySource.at(path).size() != 1)
                continue;
            const TSavedLine* saved = p.SavedFor(path);
            if (!saved || !saved->Done)
                continue; // failed or not reached: it stays
            const std::string target = p.Files[p.BySource.at(path)[0]].Target;
            if (p.ByTarget.at(target).size() != 1)
                continue; // another line's copy may have taken the name first
            bool kept = false;
            for (const TRun& r : p.Runs)
                kept |= r.Err.find("ferrox-run: source not removed: " + path + ": ") !=
                        std::string::npos;
            if (kept)
                continue; // said so
            const TEntry* existed = p.BeforeAt(target);
            // A target the policy left that holds the source's bytes (one a killed run put
            // in place before the source went, or any other) finishes the Move all the same.
            if (!p.HoldsSource(target, path) && ((p.Policy == TPolicy::Skip && existed) ||
                                                 (p.Policy == TPolicy::Newer && existed &&
                                                  !p.Later(it->second.Mtime, existed->Mtime))))
                continue; // the target was left, and so is the source
            f.Add("a file of a folder marked Move is still at its place: " + Shown(path));
        }
    }
}

// The exit status and the summary agree with the lines; each failure is told once, with
// what failed (the missing destination, not the source), and not as finished too; lines
// an abort cut off are not failures.
void SummaryTrue(const TPhase& p, TFindings& f) {
    const TCase& c = p.Case;
    for (const TRun& r : p.Runs) {
        if (r.Killed)
            continue;
        if (r.Exit == 2) {
            if (!c.MisspeltPolicy && !c.MisspeltVerify)
                f.Add("exit 2 for a queue that can be run: " + r.Err.substr(0, 200));
            continue;
        }
        const TSummary s = ParseSummary(r.Out);
        if (!s.Found) {
            f.Add("no summary (exit " + std::to_string(r.Exit) + ")");
            continue;
        }
        TStrings failures;
        for (size_t at = r.Err.find("ferrox-run: failed: "); at != std::string::npos;
             at = r.Err.find("ferrox-run: failed: ", at + 1))
            failures.push_back(r.Err.substr(at + 20, r.Err.find('\n', at) - at - 20));
        const long kept = long(Count(r.Err, "ferrox-run: source not removed: "));
        const int expected = s.Failed > 0 || kept > 0 || s.SaysAborted || s.NotSaved ? 1 : 0;
        if (r.Exit != expected)
            f.Add("exit " + std::to_string(r.Exit) + " with " + std::to_string(s.Failed) +
                  " failed" + (s.SaysAborted ? ", aborted" : ""));
        if (s.SaysAborted && !r.SentInt)
            f.Add("the summary says aborted, and no one aborted it");
        if (size_t(s.Failed) != failures.size())
            f.Add("the summary counts " + std::to_string(s.Failed) + " failed, stderr tells " +
                  std::to_string(failures.size()));
        for (const std::string& failure : failures) {
            const std::string where = failure.substr(0, failure.rfind(": "));
            if (failure.size() >= 18 &&
                failure.compare(failure.size() - 18, 18, "Operation canceled") == 0)
                f.Add("a line the abort cut off is told as failed: " + Shown(failure));
            else if (!c.Quiet && p.BySource.count(where) && p.BySource.at(where).size() == 1 &&
                     r.Out.find("Finished Copying file [" + where + "]") != std::string::npos)
                f.Add("a failed file is told as finished: " + Shown(where));
        }
        for (const TLine& l : p.Lines)
            if (l.DestMissing && p.BySource.count(l.Source) &&
                p.BySource.at(l.Source).size() == 1 &&
                r.Err.find("ferrox-run: failed: " + l.Source + ": ") != std::string::npos)
                f.Add("a line whose destination folder is missing names its source instead: " +
                      Shown(l.Source));
        if (s.NotSaved)
            continue;
        auto done = [](const std::string& text, bool value) {
            long n = 0;
            for (const TSavedLine& l : ParseQueue(text))
                n += l.Done == value;
            return n;
        };
        const long copied = done(r.QueueAfter, true) - done(r.QueueBefore, true);
        if (s.Copied != copied)
            f.Add("the summary counts " + std::to_string(s.Copied) + " lines copied, the queue " +
                  std::to_string(copied));
        // Lines an abort cut off count as aborted, on their own or among those not reached.
        const long notDone = done(r.QueueAfter, false);
        if (s.Failed + s.NotReached + s.Aborted != notDone && s.Failed + s.NotReached != notDone)
            f.Add("the summary's " + std::to_string(s.Failed) + " failed, " +
                  std::to_string(s.Aborted) + " aborted and " + std::to_string(s.NotReached) +
                  " not reached are not the queue's " + std::to_string(done(r.QueueAfter, false)) +
                  " lines not done");
    }
}

// An option value that means nothing is said on stderr (the run reads it the safe way).
void MisspeltOptionTold(const TPhase& p, TFindings& f) {
    const TCase& c = p.Case;
    for (const TRun& r : p.Runs) {
        if (r.Killed)
            continue;
        if (c.MisspeltPolicy && p.PolicyFromFile &&
            r.Err.find("ExistingTargets") == std::string::npos)
            f.Add("a misspelt ExistingTargets is not told on stderr");
        if (c.MisspeltVerify && !c.VerifyFlag && r.Err.find("VerifyCopies") == std::string::npos)
            f.Add("a misspelt VerifyCopies is not told on stderr");
    }
}

// Each request's paths are queued with its own destination; a destination alone goes only
// to lines waiting without one.
void RequestsKeepTheirPairs(const TPhase& p, TFindings& f) {
    if (!p.Window)
        return;
    for (const std::string& refused : p.Window->Refused)
        f.Add("a request was refused: " + refused);
    const auto& want = p.Window->Expected;
    const auto& got = p.Window->Saved;
    for (size_t i = 0; i < std::max(want.size(), got.size()); ++i) {
        auto shown = [](const std::vector<TSavedLine>& v, size_t i) {
            return i < v.size() ? std::string(1, v[i].Kind) + ":" + Shown(v[i].Path) + " -> " +
                                      Shown(v[i].To) + (v[i].Move ? " (Move)" : "")
                                : std::string("nothing");
        };
        if (i >= want.size() || i >= got.size() || !(want[i] == got[i])) {
            f.Add("line " + std::to_string(i + 1) + " of the queue is " + shown(got, i) +
                  ", was asked as " + shown(want, i));
            break;
        }
    }
}

struct TInvariant {
    const char* Name;
    void (*Check)(const TPhase&, TFindings&);
};
const TInvariant Invariants[] = {
    {"nothing lost", NothingLost},
    {"only targets written", OnlyTargetsWritten},
    {"policy kept", PolicyKept},
    {"no temporaries left", NoTemporariesLeft},
    {"done marks true", DoneMarksTrue},
    {"folders moved", FoldersMoved},
    {"summary true", SummaryTrue},
    {"misspelt option told", MisspeltOptionTold},
    {"requests keep their pairs", RequestsKeepTheirPairs},
};

// ---- A case, start to end ------------------------------------------------------------------

void Clear(const std::string& path) {
    if (scratch::Exists(path))
        std::system(("rm -rf -- " + Quote(path)).c_str());
}

std::string Hex(uint64_t v) {
    char buf[20];
    std::snprintf(buf, sizeof buf, "%016" PRIx64, v);
    return buf;
}

// One seed on one file system: its findings, by invariant, and how many runs it took.
TFindings RunCase(const TEnv& env, uint64_t seed, const TFs& dst, int& runs) {
    TRng rng{seed};
    TCase c;
    c.Seed = seed;
    c.Env = &env;
    c.Dst = &dst;
    // The sources' file system: the same, or another one that is there.
    const TFs& drawn = env.Fs[rng.Below(env.Fs.size())];
    c.Src = rng.Chance(0.4) || drawn.Root.empty() ? &dst : &drawn;
    const std::string tag = "/c" + Hex(seed).substr(8);
    c.SrcRoot = c.Src->Root + tag + "/src";
    c.DstRoot = dst.Root + tag + "/dst";
    std::vector<TRoot> roots = {{c.Src->Root, !c.Src->Fuse}};
    if (c.Src != &dst)
        roots.push_back({dst.Root, !dst.Fuse});
    auto clean = [&] {
        Clear(c.Src->Root + tag);
        Clear(dst.Root + tag);
        for (const TRoot& root : roots)
            for (const std::string& trash :
                 TStrings{"/.Trash", "/.Trash-" + std::to_string(::getuid())})
                Clear(root.Path + trash);
        Clear(env.Ctl);
        ::unlink((env.Prog + "/QUEUE.INI").c_str());
    };
    clean();
    for (const char* sub : {"", "/home", "/data", "/config", "/state"})
        MakeDirs(env.Ctl + sub);
    ::mkdir((env.Ctl + "/run").c_str(), 0700);
    MakeDirs(c.SrcRoot);
    MakeDirs(c.DstRoot);
    for (const TGenerator& g : Generators)
        g.Make(c, rng);
    AddLargeFile(c);
    if (c.OptionsIni.empty())
        ::unlink((env.Prog + "/QOPTIONS.INI").c_str());
    else
        scratch::WriteWhole(env.Prog + "/QOPTIONS.INI", c.OptionsIni);
    if (env.Verbose)
        std::printf("seed=%" PRIu64 " fs=%s: %s\n", seed, dst.Name.c_str(), c.Describe().c_str());

    TFindings findings;
    const std::string queue = env.Ctl + "/q.ini";
    for (int number = 1; number <= (c.SecondPass ? 2 : 1); ++number) {
        TPhase p{c, number};
        p.Lines = c.Lines;
        TStrings args = c.Args;
        p.Policy = c.Policy;
        p.PolicyFromFile = !c.PolicyFlag;
        if (number == 2) {
            std::erase_if(args, [](const std::string& a) { return StartsWith(a, "--existing="); });
            args.push_back(std::string("--existing=") + PolicyFlags[int(*c.SecondPass)]);
            p.Policy = *c.SecondPass;
            p.PolicyFromFile = false;
        }
        p.Before = Snapshot(roots);
        p.Index();
        if (number == 1 && !c.Requests.empty()) {
            p.Window = BuildThroughWindow(env, c, queue);
            // A machine where the window cannot start still runs the rest of the case.
            if (!p.Window->Missing.empty()) {
                std::printf("seed=%" PRIu64 ": the window cannot be used, the queue is written "
                            "directly: %s\n",
                            seed, Shown(p.Window->Missing).c_str());
                p.Window.reset();
            }
        }
        if (!p.Window)
            scratch::WriteWhole(queue, QueueText(c.Lines));
        const TStop stop = number == 1 ? c.Stop : TStop::None;
        p.Runs.push_back(RunFerroxRun(env, args, queue, stop, c.StopAfter, roots));
        if (p.Runs.back().Exit != 2 && (p.Runs.back().Killed || p.Runs.back().SentInt))
            p.Runs.push_back(RunFerroxRun(env, args, queue, TStop::None, 0, roots));
        runs += int(p.Runs.size());
        p.Saved = ParseQueue(ReadText(queue));
        WaitForFuseHidden(roots);
        p.After = Snapshot(roots);
        for (const TInvariant& inv : Invariants) {
            findings.Current = inv.Name;
            inv.Check(p, findings);
        }
        for (const TRun& r : p.Runs)
            if (r.Hung)
                findings.ByInvariant["summary true"].push_back(
                    "ferrox-run did not end in 10 minutes");
        if (!findings.ByInvariant.empty()) {
            std::string fs = dst.Name;
            std::printf("FAILED seed=%" PRIu64 " fs=%s%s\n  replay: random_runs --seed=%" PRIu64
                        " --fs=%s\n  case: %s\n",
                        seed, fs.c_str(), number == 2 ? " (second pass)" : "", seed, fs.c_str(),
                        c.Describe().c_str());
            std::printf("  the model's reading: %s, verification %s\n", PolicyFlags[int(p.Policy)],
                        c.Verify ? "on" : "off");
            for (const auto& [name, what] : findings.ByInvariant) {
                std::printf("  %s: %zu time%s\n", name.c_str(), what.size(),
                            what.size() == 1 ? "" : "s");
                for (size_t i = 0; i < what.size() && i < 4; ++i)
                    std::printf("    %s\n", what[i].c_str());
            }
            for (size_t i = 0; i < p.Runs.size(); ++i) {
                const TRun& r = p.Runs[i];
                std::string err = r.Err.substr(0, 600);
                std::printf("  run %zu: exit %d%s%s; %s; stderr: %s\n", i + 1, r.Exit,
                            r.SentInt ? ", SIGINT sent" : "", r.Killed ? ", killed" : "",
                            Shown(ParseSummary(r.Out).Line).c_str(), Shown(err).c_str());
            }
            break;
        }
    }
    clean();
    return findings;
}

// ---- Modes ---------------------------------------------------------------------------------

// The fixed set ./scripts/test runs on every file system there is: seeds that met the faults
// this program was written to find (lost moves of files side by side on FUSE, a request's
// paths sent to another's folder, misspelt options read the unsafe way, "newer" replacing
// newer targets, folders marked Move left in place, look-alike temporaries deleted, failures
// and aborts told wrong).
const uint64_t FixedSeeds[] = {399809178955, 804244276211, 445560269294,
                               306616620089, 713732850811, 522440098372};
// And on one file system each, what the fixed program still did wrong when this one first
// ran against it: a reservation a killed copy left on exFAT taken for a file, a folder
// marked Move that a rerun after Ctrl-C left in place, a link's time set on the file it
// points to through SSHFS, and a ".fuse_hidden" copy left on SSHFS.
const std::pair<uint64_t, const char*> FixedCases[] = {{148808865867, "exfat"},
                                                       {963747787042, "tmpfs"},
                                                       {651136842440, "sshfs"},
                                                       {784654268663, "sshfs"}};

struct TTally {
    long Cases = 0, Runs = 0, Failed = 0;
    std::map<std::string, long> ByInvariant, ByFs;
    std::vector<std::pair<uint64_t, std::string>> Failures;

    void Add(uint64_t seed, const TFs& fs, const TFindings& f, int runs) {
        ++Cases;
        Runs += runs;
        if (f.ByInvariant.empty())
            return;
        ++Failed;
        ++ByFs[fs.Name];
        Failures.push_back({seed, fs.Name});
        for (const auto& [name, what] : f.ByInvariant)
            ++ByInvariant[name];
    }
    void Print() const {
        std::printf("\n%ld cases (seed and file system), %ld ferrox-run runs, %ld failed\n", Cases,
                    Runs, Failed);
        for (const auto& [name, n] : ByInvariant)
            std::printf("  %-28s %ld cases\n", name.c_str(), n);
        for (const auto& [name, n] : ByFs)
            std::printf("  on %-25s %ld cases\n", name.c_str(), n);
        for (const auto& [seed, fs] : Failures)
            std::printf("  random_runs --seed=%" PRIu64 " --fs=%s\n", seed, fs.c_str());
    }
};

std::optional<std::string> Value(const std::string& arg, const char* name) {
    const std::string head = std::string(name) + "=";
    return StartsWith(arg, head) ? std::optional<std::string>(arg.substr(head.size()))
                                 : std::nullopt;
}

} // namespace

int main(int argc, char** argv) {
    std::optional<uint64_t> seed;
    std::optional<long> seconds;
    std::string only;
    TEnv env;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (auto v = Value(a, "--seed"))
            seed = std::strtoull(v->c_str(), nullptr, 10);
        else if (auto v = Value(a, "--for"))
            seconds = std::atol(v->c_str());
        else if (auto v = Value(a, "--fs"))
            only = *v;
        else if (a == "--verbose")
            env.Verbose = true;
        else {
            std::fprintf(stderr, "usage: random_runs [--seed=N | --for=SECONDS] [--fs=tmpfs|ext4|"
                                 "exfat|sshfs] [--verbose]\n");
            return 2;
        }
    }
    // Under ctest's timeout a stuck run must not hang the suite: the supervisor passes
    // ctest's SIGTERM on and takes down what is mounted.
    scratch::StartSupervisor("random_runs");

    const char* tmp = std::getenv("TMPDIR");
    env.Work = std::string(tmp && *tmp ? tmp : "/tmp") + "/ferrox-random-XXXXXX";
    if (!::mkdtemp(env.Work.data()))
        Fatal("cannot make a work directory: " + std::string(std::strerror(errno)));
    scratch::Note('D', env.Work);
    env.Prog = env.Work + "/prog";
    env.Ctl = env.Work + "/ctl";
    MakeDirs(env.Prog);
    // Copies of the programs: their QUEUE.INI and QOPTIONS.INI (beside them) are ours.
    env.FerroxRun = env.Prog + "/ferrox-run";
    if (std::system(("cp " + Quote(FERROX_RUN_PATH) + " " + Quote(env.FerroxRun)).c_str()) != 0)
        Fatal("cannot copy " FERROX_RUN_PATH);
#ifdef FERROX_PATH
    env.Window = env.Prog + "/ferrox";
    if (std::system(("cp " + Quote(FERROX_PATH) + " " + Quote(env.Window)).c_str()) != 0)
        env.Window.clear();
#endif
#ifdef FERROX_CORRUPT_PRELOAD
    env.Preload = FERROX_CORRUPT_PRELOAD;
#endif
    env.Machine = HexToken("/etc/machine-id");
    if (env.Machine.empty())
        env.Machine = HexToken("/var/lib/dbus/machine-id");
    env.Boot = HexToken("/proc/sys/kernel/random/boot_id");

    scratch::TShare share;
    env.Fs = MountAll(env.Work, share);
    std::vector<const TFs*> targets;
    for (const TFs& fs : env.Fs) {
        if (!only.empty() && fs.Name != only)
            continue;
        if (fs.Root.empty())
            std::printf("%s: skipped, it needs %s\n", fs.Name.c_str(), fs.Missing.c_str());
        else
            targets.push_back(&fs);
    }
    if (targets.empty()) {
        std::printf("random_runs: no file system to run on%s\n",
                    only.empty() ? "" : (" named " + only).c_str());
        share.Close();
        return 77; // skipped, for ctest
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    TTally tally;
    const auto start = Clock::now();
    if (seconds) {
        std::random_device device;
        for (size_t k = 0; Clock::now() - start < std::chrono::seconds(*seconds); ++k) {
            const uint64_t s = (uint64_t(device()) << 32 | device()) % 1000000000000ull;
            const TFs& fs = *targets[k % targets.size()];
            int runs = 0;
            const TFindings f = RunCase(env, s, fs, runs);
            tally.Add(s, fs, f, runs);
            if (tally.Cases % 20 == 0)
                std::printf("... %ld cases, %ld failed, %.0f s\n", tally.Cases, tally.Failed,
                            std::chrono::duration<double>(Clock::now() - start).count());
        }
    } else {
        std::vector<std::pair<uint64_t, const TFs*>> cases;
        for (const TFs* fs : targets) {
            if (seed) {
                cases.emplace_back(*seed, fs);
                continue;
            }
            for (uint64_t s : FixedSeeds)
                cases.emplace_back(s, fs);
            for (const auto& [s, name] : FixedCases)
                if (fs->Name == name)
                    cases.emplace_back(s, fs);
        }
        for (const auto& [s, fs] : cases) {
            int runs = 0;
            TFindings f = RunCase(env, s, *fs, runs);
            if (f.ByInvariant.empty())
                std::printf("ok seed=%" PRIu64 " fs=%s (%d runs)\n", s, fs->Name.c_str(), runs);
            tally.Add(s, *fs, f, runs);
        }
    }
    tally.Print();
    std::printf("%.1f s\n", std::chrono::duration<double>(Clock::now() - start).count());
    share.Close();
    // The supervisor unmounts the rest and deletes the work directory.
    return tally.Failed ? 1 : 0;
}
