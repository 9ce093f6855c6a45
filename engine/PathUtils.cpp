#include "engine/PathUtils.h"

#include "diag/Trace.h"
#include "platform/FileSystem.h"

#include <cstring>

namespace ferrox {

void AddSlash(std::string& Path) {
    TTraceScope trace("AddSlash");
    if (!Path.empty() && Path.back() != PathDelim)
        Path += PathDelim;
}

std::string AddSlash2(const std::string& Path) {
    TTraceScope trace("AddSlash2");
    std::string out = Path;
    if (!out.empty() && out.back() != PathDelim)
        out += PathDelim;
    return out;
}

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

std::string NamePart(const std::string& Path) {
    size_t slash = Path.rfind(PathDelim);
    return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

bool MyFileExists(const std::string& Path) {
    TTraceScope trace("MyFileExists");
    return PathMatchesAny(Path);
}

bool DirExists(const std::string& Path) {
    return IsDirectory(Path);
}

} // namespace ferrox
