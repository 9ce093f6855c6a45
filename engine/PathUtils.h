#pragma once
#include <string>

namespace ferrox {

// Appends one '/' unless the path is empty or already ends with one.
void AddSlash(std::string& Path);
std::string AddSlash2(const std::string& Path);

// 1-based position of the last Ch in Text (read up to its first NUL), 0 when absent.
int LastPos(char Ch, const std::string& Text);
int fncLastPos(const std::string& Text, char Ch);

// The part of a path after its last '/'.
std::string NamePart(const std::string& Path);

// True when anything exists at Path; '*' and '?' in the last component act as a pattern.
bool MyFileExists(const std::string& Path);
// True when Path names an existing directory.
bool DirExists(const std::string& Path);

} // namespace ferrox
