#pragma once
#include <string>

namespace ferrox::test {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it at the end.
class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    const std::string& Path() const { return path_; }
    // Path() + "/" + name
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Makes a directory the working directory until the end of the scope.
class TWorkingDirectory {
public:
    explicit TWorkingDirectory(const std::string& dir);
    ~TWorkingDirectory();
    TWorkingDirectory(const TWorkingDirectory&) = delete;
    TWorkingDirectory& operator=(const TWorkingDirectory&) = delete;

private:
    std::string previous_;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
void MakeDir(const std::string& path);
// Removes a whole tree; no error when it is missing.
void RemoveTree(const std::string& path);

// Runs a shell command and returns its exit status.
int RunShell(const std::string& command);

// How many copy workers and progress monitors this process has now (Ferrox names them):
// a test sees that every one a core or a window started has ended.
size_t RunThreadCount();

} // namespace ferrox::test
