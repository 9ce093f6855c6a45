#pragma once
#include <string>

#include "platform/Path.h"

namespace ferrox {

// 1-based position of the last Ch in Text (read up to its first NUL), 0 when absent.
int LastPos(char Ch, const std::string& Text);
int fncLastPos(const std::string& Text, char Ch);

// True when anything exists at exactly Path (a dangling link too); '*', '?' and '['
// are ordinary bytes of a name.
bool MyFileExists(const std::string& Path);
// True when Path names an existing directory.
bool DirExists(const std::string& Path);

} // namespace ferrox
