#include "engine/PathUtils.h"

#include "diag/Trace.h"
#include "platform/FileSystem.h"

#include <cstring>

namespace ferrox {

namespace {
int LastOf(const std::string& Text, char Ch) {
    size_t len = ::strnlen(Text.c_str(), Text.size());
    for (size_t i = len; i > 0; --i)
        if (Text[i - 1] == Ch)
            return static_cast<int>(i);
    return 0;
}
} // namespace

int LastPos(char Ch, const std::string& Text) {
    TTraceScope trace("LastPos");
    return LastOf(Text, Ch);
}

int fncLastPos(const std::string& Text, char Ch) {
    TTraceScope trace("fncLastPos");
    return LastOf(Text, Ch);
}

bool MyFileExists(const std::string& Path) {
    TTraceScope trace("MyFileExists");
    return LookupPath(Path) == 0;
}

bool DirExists(const std::string& Path) {
    return IsDirectory(Path);
}

} // namespace ferrox
