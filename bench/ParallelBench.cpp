// Files side by side, through the whole ferrox-run process, against its peers measured in
// the same run:
//  1. a network share: 2,000 files of 4 KiB in 20 directories from a local directory onto
//     SSHFS, served by an sshd on 127.0.0.1 that this program starts with keys and a
//     configuration of its own in a temporary directory; ferrox-run (workers auto) against
//     `cp -r --preserve=mode,timestamps`, four such cp side by side in directories of
//     their own, `rsync -a` when installed, and ferrox-run --workers=8 and --workers=1;
//  2. tmpfs: 20,000 files of 512 B in 200 directories, ferrox-run against cp -p and rsync;
//  3. the disk: 20,000 files of 4 KiB, --workers=auto against --workers=1 and cp -r; one
//     large file against cp, on the disk and on tmpfs.
// The order of the contenders rotates each round, each copies into a fresh directory after
// a sync, and the ratios are taken round by round; medians with min and max.
//
// Whatever is set up outside this program (the mount, sshd, the temporary directories) is
// taken down by the process the shell started, after the measuring process ended, however
// it ended: normally, failing half-way, by a signal or a crash.
//
//   parallel_bench [--dir DIR] [--tmpfs DIR] [--rounds N] [--big-mib N] [--skip-sshfs]
//                  [--skip-tmpfs] [--skip-disk] [--ferrox-run PATH (another build's)]
#include "bench/BenchSupport.h"
#include "platform/DeviceKind.h"
#include "tests/support/Scratch.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>

using namespace ferrox;
using namespace ferrox::bench;

namespace {

using scratch::Exists;
using scratch::HaveCommand;
using scratch::Note;
using scratch::Quote;

// ---- Measuring ----------------------------------------------------------------------------

std::string MakeTemp(const std::string& base) {
    std::string dir = base + "/ferrox-par-bench-XXXXXX";
    // Noted before it exists: a name the supervisor finds missing costs nothing.
    if (!::mkdtemp(dir.data()))
        Fail("cannot make a directory in " + base + ": " + std::strerror(errno));
    Note('D', dir);
    return dir;
}

// Regular files below dir.
long CountFiles(const std::string& dir) {
    long n = 0;
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return 0;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        unsigned type = e->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            type = ::lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? DT_DIR
                                                                                        : DT_REG;
        }
        n += type == DT_DIR ? CountFiles(dir + "/" + name) : type == DT_REG;
    }
    ::closedir(d);
    return n;
}

// One copy into dest, which it makes: after a sync, its seconds; a copy that did not bring
// all the files along ends the program, a fast wrong copy being no figure.
double Timed(const std::string& cmd, const std::string& dest, long files) {
    if (::mkdir(dest.c_str(), 0755) != 0)
        Fail("cannot make " + dest + ": " + std::strerror(errno));
    ::sync();
    const auto start = Clock::now();
    Shell(cmd);
    const double s = Seconds(start);
    if (const long found = CountFiles(dest); found != files)
        Fail(cmd + ": " + std::to_string(found) + " files arrived, not " + std::to_string(files));
    return s;
}

struct TSetup {
    std::string Work; // on the disk: queue files, the error log, the disk's copies
    std::string FerroxRun = FERROX_RUN_PATH;
};

// ferrox-run of a one-line queue, source into dest, as a shell command. The queue file lies
// where a user's would, on the disk.
std::string FerroxCommand(const TSetup& s, const std::string& tag, const std::string& source,
                          bool isDir, const std::string& dest, const std::string& flags) {
    const std::string queue = s.Work + "/q-" + tag + ".ini";
    WriteText(queue, std::string("[Queue]\r\nFROM-1=") + (isDir ? "D:" : "F:") + source +
                         "\r\nTO-1=" + dest + "\r\nDONE-1=0\r\nMOVE-1=0\r\n");
    return "cd " + Quote(s.Work) + " && " + Quote(s.FerroxRun) + " -q " + flags + " " +
           Quote(queue) + " >/dev/null";
}

struct TContender {
    std::string Name;
    std::function<double(const std::string& tag)> Run; // tag: fresh for each run
    std::vector<double> Seconds = {};
};

// A ratio of two contenders' times, taken round by round.
struct TRatio {
    size_t Of, To;
    std::string Goal; // empty: for reference
};

void Rotate(int rounds, const std::string& prefix, std::vector<TContender>& all) {
    for (int r = 0; r < rounds; ++r) {
        for (size_t k = 0; k < all.size(); ++k) {
            TContender& c = all[(k + size_t(r)) % all.size()];
            c.Seconds.push_back(c.Run(prefix + std::to_string(r)));
        }
        std::printf("   round %d:", r + 1);
        for (size_t k = 0; k < all.size(); ++k)
            std::printf("%s %s %.3f s", k ? "," : "", all[k].Name.c_str(), all[k].Seconds.back());
        std::printf("\n");
    }
}

void Report(const std::vector<TContender>& all, const std::vector<TRatio>& ratios) {
    size_t width = 0;
    for (const auto& c : all)
        width = std::max(width, c.Name.size());
    for (const auto& c : all)
        std::printf("   %-*s median %.3f s (min %.3f, max %.3f)\n", int(width), c.Name.c_str(),
                    Median(c.Seconds), *std::min_element(c.Seconds.begin(), c.Seconds.end()),
                    *std::max_element(c.Seconds.begin(), c.Seconds.end()));
    for (const auto& r : ratios) {
        std::vector<double> v;
        for (size_t i = 0; i < all[r.Of].Seconds.size(); ++i)
            v.push_back(all[r.Of].Seconds[i] / all[r.To].Seconds[i]);
        std::printf("   %s / %s: median %.3f (min %.3f, max %.3f)%s\n", all[r.Of].Name.c_str(),
                    all[r.To].Name.c_str(), Median(v), *std::min_element(v.begin(), v.end()),
                    *std::max_element(v.begin(), v.end()),
                    r.Goal.empty() ? "" : ("; goal " + r.Goal).c_str());
    }
}

std::string KindText(const std::string& dir) {
    dev_t device = 0;
    switch (DeviceKindOf(dir, device)) {
    case TDeviceKind::Rotating:
        return "a rotating disk";
    case TDeviceKind::Solid:
        return "solid (no head to move)";
    case TDeviceKind::Network:
        return "a network share";
    case TDeviceKind::Unknown:
        break;
    }
    return "unknown";
}

// cp -p and, when installed, rsync -a, each copying source into a fresh directory below
// `into`.
void AddPeers(std::vector<TContender>& all, const std::string& source, const std::string& into,
              long files, bool rsync) {
    all.push_back({"cp -p", [=](const std::string& tag) {
                       const std::string dest = into + "/cp-" + tag;
                       return Timed("cp -r --preserve=mode,timestamps " + Quote(source) + " " +
                                        Quote(dest + "/"),
                                    dest, files);
                   }});
    if (rsync)
        all.push_back({"rsync -a", [=](const std::string& tag) {
                           const std::string dest = into + "/rs-" + tag;
                           return Timed("rsync -a " + Quote(source) + " " + Quote(dest + "/"), dest,
                                        files);
                       }});
}

// ---- 1. The network share -----------------------------------------------------------------

// What the share offers for a file to get its name only when complete, short of a named
// temporary renamed over the name: an unnamed file given its name, a rename or a hard link
// that fails on a taken name (each tried on a free one).
void PrintNamingOffers(const std::string& mnt) {
    auto outcome = [](bool ok) { return ok ? std::string("yes") : std::strerror(errno); };
    const int fd = ::open(mnt.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    const std::string unnamed = outcome(fd >= 0);
    if (fd >= 0)
        ::close(fd);
    const std::string a = mnt + "/naming-a", b = mnt + "/naming-b", c = mnt + "/naming-c";
    WriteText(a, "a");
    const std::string noReplace =
        outcome(::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_NOREPLACE) == 0);
    const std::string& now = Exists(b) ? b : a;
    const std::string link = outcome(::link(now.c_str(), c.c_str()) == 0);
    for (const std::string* name : {&a, &b, &c})
        ::unlink(name->c_str());
    std::printf("   the share: unnamed files (O_TMPFILE) %s; rename that keeps a taken name "
                "(RENAME_NOREPLACE) %s; hard links %s\n",
                unnamed.c_str(), noReplace.c_str(), link.c_str());
}

void ShareCase(const TSetup& s, int rounds, bool rsync) {
    std::printf("\n1. network share: 2,000 files of 4 KiB in 20 directories, from the disk onto "
                "SSHFS (sshd on 127.0.0.1)\n");
    if (std::string missing = scratch::ShareMissing(); !missing.empty()) {
        std::printf("   skipped: %s missing (apt-get install sshfs openssh-server)\n",
                    missing.c_str());
        return;
    }
    scratch::TShare share;
    if (std::string why = share.Open(s.Work); !why.empty()) {
        std::printf("   skipped: %s\n", why.c_str());
        share.Close();
        return;
    }
    const std::string mnt = share.Mount();
    std::printf("   share mounted at %s (port %d); its device: %s\n", mnt.c_str(), share.Port(),
                KindText(mnt).c_str());
    PrintNamingOffers(mnt);
    const std::string tree = s.Work + "/tree2k";
    MakeTree(tree, 20, 100, 4096);
    const long files = 2000;
    std::printf("   ferrox-run with its defaults (its flush at the end included); every "
                "contender into a fresh directory on the share\n");
    std::vector<TContender> all;
    auto ferrox = [&](const std::string& name, const std::string& flags, const std::string& id) {
        all.push_back({name, [=, &s](const std::string& tag) {
                           const std::string dest = mnt + "/" + id + tag;
                           return Timed(FerroxCommand(s, id + tag, tree, true, dest, flags), dest,
                                        files);
                       }});
    };
    ferrox("ferrox-run", "--workers=auto", "fx-");
    AddPeers(all, tree, mnt, files, rsync);
    // A share's server takes the creates of one directory one after another: four cp
    // processes, each in five directories of its own, are what files side by side can reach.
    all.push_back({"4 x cp -p", [=](const std::string& tag) {
                       const std::string dest = mnt + "/cp4-" + tag;
                       std::string cmd;
                       for (int p = 0; p < 4; ++p) {
                           cmd += "cp -r --preserve=mode,timestamps";
                           for (int d = p; d < 20; d += 4)
                               cmd += " " + Quote(tree + "/d" + std::to_string(d));
                           cmd += " " + Quote(dest + "/") + " & ";
                       }
                       return Timed(cmd + "wait", dest, files);
                   }});
    const size_t four = all.size() - 1;
    ferrox("ferrox-run --workers=8", "--workers=8", "fx8-");
    const size_t eight = all.size() - 1;
    ferrox("ferrox-run --workers=1", "--workers=1", "fx1-");
    Rotate(rounds, "share", all);
    std::vector<TRatio> ratios = {{0, 1, "<= 0.5"}, {0, four, "<= 1.1"}, {eight, 1, ""}};
    if (rsync)
        ratios.push_back({0, 2, ""});
    ratios.push_back({all.size() - 1, 1, ""});
    Report(all, ratios);
    share.Close();
}

// ---- 2. tmpfs and 3. the disk -------------------------------------------------------------

void TmpfsCase(const TSetup& s, const std::string& shm, int rounds, bool rsync) {
    std::printf("\n2. tmpfs (%s, %s): 20,000 files of 512 B in 200 directories\n", shm.c_str(),
                KindText(shm).c_str());
    std::printf("   ferrox-run with its defaults (workers auto, its flush at the end included)\n");
    const std::string tree = shm + "/tree512";
    MakeTree(tree, 200, 100, 512);
    const long files = 20000;
    std::vector<TContender> all;
    all.push_back({"ferrox-run", [=, &s](const std::string& tag) {
                       const std::string dest = shm + "/fx-" + tag;
                       return Timed(
                           FerroxCommand(s, "fx-" + tag, tree, true, dest, "--workers=auto"), dest,
                           files);
                   }});
    AddPeers(all, tree, shm, files, rsync);
    Rotate(rounds, "shm", all);
    std::vector<TRatio> ratios = {{0, 1, "<= 0.7"}};
    if (rsync)
        ratios.push_back({0, 2, ""});
    Report(all, ratios);
}

// One large file, ferrox-run --no-flush against cp, in fresh directories below `into`;
// `dropCopies` deletes each copy after its round (tmpfs holds them in memory).
void BigFile(const TSetup& s, const std::string& into, int bigMiB, int rounds, bool dropCopies) {
    const std::string big = into + "/big.bin";
    Shell("head -c " + std::to_string(int64_t(bigMiB) << 20) + " /dev/urandom > " + Quote(big));
    std::vector<TContender> all;
    auto done = [=](const std::string& dest) {
        if (dropCopies)
            Shell("rm -rf " + Quote(dest));
    };
    all.push_back({"ferrox-run", [=, &s](const std::string& tag) {
                       const std::string dest = into + "/fxbig-" + tag;
                       double t =
                           Timed(FerroxCommand(s, "fxbig-" + tag, big, false, dest, "--no-flush"),
                                 dest, 1);
                       done(dest);
                       return t;
                   }});
    all.push_back({"cp", [=](const std::string& tag) {
                       const std::string dest = into + "/cpbig-" + tag;
                       double t = Timed("cp " + Quote(big) + " " + Quote(dest + "/"), dest, 1);
                       done(dest);
                       return t;
                   }});
    Rotate(rounds, "big" + std::to_string(dropCopies), all);
    Report(all, {{0, 1, "<= 1.02"}});
    if (dropCopies)
        ::unlink(big.c_str());
}

void DiskCase(const TSetup& s, const std::string& shm, int rounds, int bigMiB) {
    std::printf("\n3. the disk (%s, %s): 20,000 files of 4 KiB in 200 directories\n",
                s.Work.c_str(), KindText(s.Work).c_str());
    std::printf("   every ferrox-run with --no-flush, against plain cp: neither waits for the "
                "disk\n");
    const std::string tree = s.Work + "/tree4k";
    MakeTree(tree, 200, 100, 4096);
    const long files = 20000;
    std::vector<TContender> all;
    for (const char* workers : {"auto", "1"})
        all.push_back(
            {std::string("ferrox-run --workers=") + workers, [=, &s](const std::string& tag) {
                 const std::string id = std::string("fx") + workers + "-" + tag;
                 const std::string dest = s.Work + "/" + id;
                 return Timed(FerroxCommand(s, id, tree, true, dest,
                                            std::string("--no-flush --workers=") + workers),
                              dest, files);
             }});
    all.push_back({"cp -r", [=](const std::string& tag) {
                       const std::string dest = s.Work + "/cpr-" + tag;
                       return Timed("cp -r " + Quote(tree) + " " + Quote(dest + "/"), dest, files);
                   }});
    Rotate(rounds, "disk", all);
    Report(all, {{0, 1, "<= 1.0"}, {0, 2, ""}});

    std::printf("\n   one file of %d MiB on the disk\n", bigMiB);
    BigFile(s, s.Work, bigMiB, rounds, false);
    if (!shm.empty()) {
        std::printf("\n   one file of %d MiB on tmpfs (%s)\n", bigMiB, shm.c_str());
        BigFile(s, shm, bigMiB, rounds, true);
    }
}

} // namespace

int main(int argc, char** argv) {
    TArgs args(argc, argv);
    const std::string base = args.Text("--dir", DefaultWorkBase());
    const std::string tmpfs = args.Text("--tmpfs", "/dev/shm");
    const std::string ferroxRun = args.Text("--ferrox-run", FERROX_RUN_PATH);
    const int rounds = int(args.Number("--rounds", 5));
    const int bigMiB = int(args.Number("--big-mib", 1024));
    const bool skipShare = args.Flag("--skip-sshfs");
    const bool skipTmpfs = args.Flag("--skip-tmpfs");
    const bool skipDisk = args.Flag("--skip-disk");
    if (!args.Done())
        return 2;
    scratch::StartSupervisor("parallel_bench");

    TSetup s;
    s.FerroxRun = ferroxRun;
    s.Work = MakeTemp(base);
    const std::string shm = skipTmpfs ? "" : MakeTemp(tmpfs);
    const bool rsync = HaveCommand("rsync");
    std::printf("work directories: %s%s%s\n", s.Work.c_str(), shm.empty() ? "" : ", ", shm.c_str());
    const std::string options = s.FerroxRun.substr(0, s.FerroxRun.rfind('/') + 1) + "QOPTIONS.INI";
    std::printf("ferrox-run: %s (%s)\n", s.FerroxRun.c_str(),
                Exists(options) ? "its QOPTIONS.INI applies where no flag overrides it"
                                : "no QOPTIONS.INI beside it: its defaults apply");
    std::printf("%d rounds; each run copies into a fresh directory after a sync; the order "
                "rotates each round%s\n",
                rounds, rsync ? "" : "; rsync is not installed: no comparison with it");

    if (!skipShare)
        ShareCase(s, rounds, rsync);
    if (!skipTmpfs)
        TmpfsCase(s, shm, rounds, rsync);
    if (!skipDisk)
        DiskCase(s, shm, rounds, bigMiB);
    // The supervisor deletes the directories, unmounts and stops sshd.
    return 0;
}
