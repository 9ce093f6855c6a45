#pragma once
// The time left as the benchmarks measure it: queues of large and small files onto a disk
// held at a steady rate, and the error of the time a face showed against the time the run
// really took from there.
#include "bench/BenchSupport.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <sys/sysmacros.h>

namespace ferrox::bench {

// A file system on a loop device whose writes are held at a fixed rate (the cgroup v1
// blkio throttle), rotating or not: a steady disk, so that the time left is measured and not
// the host's cache. Needs root and loop devices; Missing() says what is missing. Everything
// is undone at the end.
class TThrottledDisk {
public:
    TThrottledDisk(const std::string& work, const std::string& name, int64_t bytes,
                   int64_t bytesPerSecond, bool rotating)
        : image_(work + "/" + name + ".img"), mount_(work + "/" + name) {
        if (::geteuid() != 0) {
            missing_ = "root";
            return;
        }
        if (::access("/sys/fs/cgroup/blkio/blkio.throttle.write_bps_device", W_OK) != 0) {
            missing_ = "the cgroup v1 blkio throttle";
            return;
        }
        if (std::system(("truncate -s " + std::to_string(bytes) + " '" + image_ +
                         "' && mkfs.ext4 -q -F '" + image_ + "' >/dev/null 2>&1")
                            .c_str()) != 0) {
            missing_ = "mkfs.ext4";
            return;
        }
        FILE* out = ::popen(("losetup -f --show '" + image_ + "' 2>/dev/null").c_str(), "r");
        char line[128] = {};
        if (out && std::fgets(line, sizeof line, out))
            device_ = std::string(line, std::strcspn(line, "\n"));
        if (out)
            ::pclose(out);
        struct stat st;
        if (device_.empty() || ::stat(device_.c_str(), &st) != 0) {
            missing_ = "a free loop device";
            return;
        }
        node_ = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
        ::mkdir(mount_.c_str(), 0755);
        if (std::system(("mount '" + device_ + "' '" + mount_ + "'").c_str()) != 0) {
            missing_ = "a mount of the loop device";
            return;
        }
        mounted_ = true;
        WriteText("/sys/block/" + device_.substr(5) + "/queue/rotational", rotating ? "1" : "0");
        WriteText("/sys/fs/cgroup/blkio/blkio.throttle.write_bps_device",
                  node_ + " " + std::to_string(bytesPerSecond));
    }
    ~TThrottledDisk() {
        if (!node_.empty())
            std::system(("echo '" + node_ +
                         " 0' > /sys/fs/cgroup/blkio/"
                         "blkio.throttle.write_bps_device 2>/dev/null")
                            .c_str());
        if (mounted_)
            std::system(("umount '" + mount_ + "' || umount -l '" + mount_ + "'").c_str());
        if (!device_.empty())
            std::system(("losetup -d '" + device_ + "' 2>/dev/null").c_str());
        ::unlink(image_.c_str());
    }
    TThrottledDisk(const TThrottledDisk&) = delete;
    TThrottledDisk& operator=(const TThrottledDisk&) = delete;

    const std::string& Missing() const { return missing_; }
    const std::string& Path() const { return mount_; }

private:
    std::string image_, mount_, device_, node_, missing_;
    bool mounted_ = false;
};

// The queues the time left is measured on: lines of large files and folders of small ones,
// in their order.
struct TQueueLine {
    bool Folder;
    int Files;     // a folder's files, in folders of 100
    int64_t Bytes; // each
};

// Makes the queue's sources under `work`, its lines into `dest`; the source paths.
inline std::vector<std::pair<std::string, bool>> MakeSources(const std::string& work,
                                                             const std::vector<TQueueLine>& lines) {
    std::vector<std::pair<std::string, bool>> sources;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string path = work + "/src" + std::to_string(i);
        if (lines[i].Folder) {
            MakeTree(path, (lines[i].Files + 99) / 100, std::min(100, lines[i].Files),
                     size_t(lines[i].Bytes));
        } else {
            Shell("head -c " + std::to_string(lines[i].Bytes) + " /dev/urandom > '" + path + "'");
        }
        sources.emplace_back(path, lines[i].Folder);
    }
    // Read once, so the source's disk is not what is measured.
    Shell("cat $(find '" + work + "' -type f -path '*/src*') >/dev/null");
    return sources;
}

// The cases: a user's mixed queue (a large file, a folder of small ones, two more large
// ones) on a rotating and on a solid-state disk, and three large files with 5,000 small ones
// in folders between them.
struct TDiskCase {
    const char* What;
    std::vector<TQueueLine> Lines;
    int MiBPerSecond;
    bool Rotating;
};
inline const std::vector<TDiskCase>& TimeLeftCases() {
    static const std::vector<TQueueLine> mixed = {{false, 1, 160 << 20},
                                                  {true, 3000, 32 << 10},
                                                  {false, 1, 160 << 20},
                                                  {false, 1, 160 << 20}};
    static const std::vector<TQueueLine> window = {{false, 1, 300'000'000},
                                                   {false, 1, 300'000'000},
                                                   {true, 5000, 16 << 10},
                                                   {false, 1, 300'000'000}};
    static const std::vector<TDiskCase> cases = {
        {"the mixed queue, a rotating disk at 30 MiB/s", mixed, 30, true},
        {"the mixed queue, a solid-state disk at 30 MiB/s", mixed, 30, false},
        {"large files and small ones, a disk at 20 MiB/s", window, 20, false}};
    return cases;
}

// What a face showed at a moment of the run (seconds since its start).
struct TShownLeft {
    double At;
    int Percent;
    std::optional<double> SecondsLeft;
    bool AtLeast; // a folder's expansion may add to what is left
};

// The error of the time left shown against the real remainder, over the estimates shown
// after a tenth of the run with 3 s or more really left; and how often the share went back.
// With `timeline`, each half second as well (`more` adds the face's own figures).
inline void ReportTimeLeft(const std::vector<TShownLeft>& shown, double total, bool timeline,
                           const std::function<std::string(size_t)>& more = {}) {
    std::vector<double> errors;
    double lastPrinted = -1;
    int backwards = 0, backwardsAtLeast = 0, lastPercent = 0, full = 0;
    for (size_t i = 0; i < shown.size(); ++i) {
        const TShownLeft& s = shown[i];
        if (s.Percent < lastPercent)
            ++(s.AtLeast ? backwardsAtLeast : backwards);
        lastPercent = s.Percent;
        full += s.Percent >= 100 && total - s.At > 0.5;
        const double left = total - s.At;
        if (timeline && s.At - lastPrinted >= 0.5) {
            lastPrinted = s.At;
            std::printf("   at %5.1f s: %5.1f s left, shown %s; %3d %%%s%s\n", s.At, left,
                        s.SecondsLeft ? (std::to_string(int(*s.SecondsLeft)) + " s").c_str()
                                      : "none",
                        s.Percent, more ? "; " : "", more ? more(i).c_str() : "");
        }
        if (!s.SecondsLeft || s.At < total / 10 || left < 3)
            continue;
        errors.push_back(std::abs(*s.SecondsLeft - left) / left);
    }
    std::printf("   the run took %.1f s; %zu estimates after a tenth of it with 3 s or more left\n",
                total, errors.size());
    if (!errors.empty())
        std::printf("   error of the time left: median %.0f %% (goal <= 25 %%), 90th percentile "
                    "%.0f %% (goal <= 60 %%), worst %.0f %%\n",
                    Median(errors) * 100, Quantile(errors, 0.9) * 100,
                    *std::max_element(errors.begin(), errors.end()) * 100);
    std::printf("   the share went backwards %d times (goal 0), %d more while a folder's "
                "expansion added to what is left; it showed 100 %% before the end %d times\n",
                backwards, backwardsAtLeast, full);
}

} // namespace ferrox::bench
