#include "platform/Path.h"

namespace ferrox {

std::string DirectoryOf(std::string_view path) {
    size_t slash = path.rfind(PathDelim);
    if (slash == std::string_view::npos)
        return ".";
    return slash == 0 ? std::string(1, PathDelim) : std::string(path.substr(0, slash));
}

std::string NamePart(std::string_view path) {
    size_t slash = path.rfind(PathDelim);
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

void AddSlash(std::string& path) {
    if (!path.empty() && path.back() != PathDelim)
        path += PathDelim;
}

std::string AddSlash2(std::string_view path) {
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

} // namespace ferrox
