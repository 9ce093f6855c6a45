// Times saving and loading the queue file for growing queues; the time per line should
// stay flat.
#include "persist/QueueFile.h"
#include "platform/SettingsDir.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace ferrox;

namespace {

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::string MakeTempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/ferrox-bench-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    return buf.data();
}

} // namespace

int main() {
    const std::string dir = MakeTempDir();
    SetSettingsDirForTesting(dir);
    // The backup lands in the working directory.
    if (::chdir(dir.c_str()) != 0)
        return 1;
    std::printf("%10s %12s %14s %12s %14s %12s\n", "lines", "save s", "save us/line", "load s",
                "load us/line", "file bytes");
    for (int lines : {1000, 10000, 100000}) {
        TCopyQueue queue;
        std::atomic<bool> running{false};
        TQueueFile file(queue, running);
        for (int i = 0; i < lines; ++i) {
            std::string path = "/home/user/data/project-" + std::to_string(i % 97) + "/sub/file-" +
                               std::to_string(i) + ".dat";
            queue.AddItem(queue.lstCopyFrom, path, i % 3 == 0, i % 8);
            if (i % 2 == 0)
                queue.AddItem(queue.lstCopyTo, "/mnt/backup/target-" + std::to_string(i), false,
                              lsDirWaiting);
        }
        const std::string name = dir + "/bench-" + std::to_string(lines) + ".INI";
        auto t0 = std::chrono::steady_clock::now();
        file.SaveAs(name);
        auto t1 = std::chrono::steady_clock::now();
        file.LoadFrom(name);
        auto t2 = std::chrono::steady_clock::now();
        if (queue.lstCopyFrom.RootNodeCount() != static_cast<uint32_t>(lines)) {
            std::fprintf(stderr, "loaded %u lines, expected %d\n",
                         queue.lstCopyFrom.RootNodeCount(), lines);
            return 1;
        }
        struct stat st {};
        ::stat(name.c_str(), &st);
        double save = Seconds(t1 - t0), load = Seconds(t2 - t1);
        std::printf("%10d %12.4f %14.3f %12.4f %14.3f %12lld\n", lines, save, save * 1e6 / lines,
                    load, load * 1e6 / lines, static_cast<long long>(st.st_size));
    }
    ::nftw(
        dir.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 8,
        FTW_DEPTH | FTW_PHYS);
    return 0;
}
