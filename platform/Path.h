#pragma once
#include <string>
#include <string_view>

namespace ferrox {

// Paths are byte strings kept exactly as given; these split and join them lexically,
// without asking the file system. Every part of Ferrox that takes a path apart uses them.

inline constexpr char PathDelim = '/';

// The directory part: "/a/b" gives "/a", "/a" gives "/", "b" gives ".", "/a/b/" gives "/a/b".
std::string DirectoryOf(std::string_view path);

// The part after the last '/': "/a/b" gives "b", "/a/b/" gives "", "b" gives "b".
std::string NamePart(std::string_view path);

// The same two parts without a copy, for the per-file path of the copy; they view `path`
// (or a constant), so they live no longer than it.
std::string_view DirectoryView(std::string_view path);
std::string_view NameView(std::string_view path);

// True when path names an existing directory (stat: links followed). The one helper here
// that asks the file system.
bool DirExists(const std::string& path);

// Appends one '/' unless the path is empty or already ends with one.
void AddSlash(std::string& path);
std::string WithTrailingSlash(std::string_view path);

// The path without its trailing '/'s; "/" stays "/".
std::string WithoutTrailingSlash(std::string_view path);

// dir and name with exactly the one '/' between them that a path needs.
std::string JoinPath(std::string_view dir, std::string_view name);

// "%xx" (either case of hex digits) back to its byte; a '%' without two hex digits after
// it stays as it is, as lenient URL readers take it.
std::string PercentDecode(std::string_view text);

} // namespace ferrox
