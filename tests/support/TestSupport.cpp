#include "support/TestSupport.h"

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace ferrox::test {

namespace {
int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    // Entries made read-only by a test must still go.
    ::chmod(path, 0700);
    ::remove(path);
    return 0;
}
} // namespace

TTempDir::TTempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/ferrox-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TTempDir::~TTempDir() {
    RemoveTree(path_);
}

TWorkingDirectory::TWorkingDirectory(const std::string& dir) {
    char buf[4096];
    if (!::getcwd(buf, sizeof buf))
        throw std::runtime_error("getcwd failed");
    previous_ = buf;
    if (::chdir(dir.c_str()) != 0)
        throw std::runtime_error("chdir failed: " + dir);
}

TWorkingDirectory::~TWorkingDirectory() {
    if (::chdir(previous_.c_str()) != 0)
        std::abort();
}

void RemoveTree(const std::string& path) {
    // Directories first made writable so their entries can go.
    ::nftw(
        path.c_str(),
        [](const char* p, const struct stat* st, int type, struct FTW*) {
            if (type == FTW_D)
                ::chmod(p, st->st_mode | S_IRWXU);
            return 0;
        },
        16, FTW_PHYS);
    ::nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + path);
    out << content;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

void MakeDir(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) != 0)
        throw std::runtime_error("cannot create " + path);
}

int RunShell(const std::string& command) {
    int rc = std::system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

size_t RunThreadCount() {
    size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            n += name == "ferrox-worker" || name == "ferrox-monitor";
        }
        ::closedir(d);
    }
    return n;
}

} // namespace ferrox::test
