#pragma once
#include <cstdint>
#include <dirent.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ferrox::test {

// The names in a directory, read independently of the code under test.
inline std::vector<std::string> NamesIn(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(d);
    }
    return names;
}

// Content that differs at every offset, so a misplaced or repeated chunk shows.
inline std::string PatternBytes(size_t size, unsigned seed = 1) {
    std::string data(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : data) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return data;
}

// A tmpfs mounted on a fresh directory, for a second file system or a small full disk.
// Needs root; Mounted() is false otherwise and the test should skip.
class TMountedTmpfs {
public:
    TMountedTmpfs(const std::string& dir, const std::string& options) : dir_(dir) {
        if (::geteuid() != 0 || ::mkdir(dir.c_str(), 0755) != 0)
            return;
        mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~TMountedTmpfs() {
        if (mounted_)
            ::umount2(dir_.c_str(), MNT_DETACH);
    }
    TMountedTmpfs(const TMountedTmpfs&) = delete;
    TMountedTmpfs& operator=(const TMountedTmpfs&) = delete;

    bool Mounted() const { return mounted_; }

private:
    std::string dir_;
    bool mounted_ = false;
};

} // namespace ferrox::test
