#pragma once
#include <string>
#include <string_view>

namespace ferrox {

// The whole content of a file. A file that does not exist reads as empty and sets
// *missing; any other failure throws std::runtime_error("Unable to read " + path).
std::string ReadWholeFile(const std::string& path, bool* missing = nullptr);

// Gives path the content without ever leaving it truncated: the content goes to a new
// file in the same directory (every write checked, then fsync) that is renamed over path.
// On failure path is as it was, the new file is gone and std::runtime_error
// ("Unable to write to " + path) is thrown. An existing file's permission bits are kept.
void ReplaceFileContent(const std::string& path, std::string_view content);

// Makes `to` hold a copy of `from`'s content, replacing `to` in one step: a hard link when
// both lie on one file system, a full copy (as ReplaceFileContent) otherwise. `from` is
// left alone. False when neither worked; `to` is then as it was.
bool LinkOrCopyAs(const std::string& from, const std::string& to);

// True when both names lead to the same file (same device and inode, lstat).
bool SameFile(const std::string& a, const std::string& b);

} // namespace ferrox
