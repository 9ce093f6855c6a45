#include "platform/Path.h"

#include <sys/stat.h>

namespace ferrox {

std::string_view DirectoryView(std::string_view path) {
    size_t slash = path.rfind(PathDelim);
    if (slash == std::string_view::npos)
        return ".";
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string_view NameView(std::string_view path) {
    size_t slash = path.rfind(PathDelim);
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string DirectoryOf(std::string_view path) {
    return std::string(DirectoryView(path));
}

std::string NamePart(std::string_view path) {
    return std::string(NameView(path));
}

void AddSlash(std::string& path) {
    if (!path.empty() && path.back() != PathDelim)
        path += PathDelim;
}

std::string WithTrailingSlash(std::string_view path) {
    std::string out(path);
    AddSlash(out);
    return out;
}

std::string WithoutTrailingSlash(std::string_view path) {
    while (path.size() > 1 && path.back() == PathDelim)
        path.remove_suffix(1);
    return std::string(path);
}

std::string JoinPath(std::string_view dir, std::string_view name) {
    std::string out(dir);
    AddSlash(out);
    while (!name.empty() && name.front() == PathDelim && !out.empty())
        name.remove_prefix(1);
    out += name;
    return out;
}

namespace {
int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
} // namespace

std::string PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int high = HexValue(text[i + 1]);
            int low = HexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

bool DirExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace ferrox
