#pragma once
#include <string>
#include <string_view>

namespace ferrox {

// A fresh temporary name of ours, ".ferrox-XXXXXX.part": hidden, and recognisable as ours
// when a killed copy left it behind.
std::string RandomTempName();
// Recognises the names RandomTempName makes (the last component of a path).
bool IsCopyTempName(const std::string& name);

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

// A named temporary file in dirFd (mode 0600), for file systems without unnamed files:
// its descriptor, with its name in temp; -1 with error set when none could be made.
int CreateNamedTemp(int dirFd, std::string& temp, int& error);

} // namespace ferrox
