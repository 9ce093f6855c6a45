#include "core/UriList.h"

#include "platform/Path.h"

#include <climits>
#include <unistd.h>

namespace ferrox {

namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

bool IsThisHost(std::string_view host) {
    if (host.empty() || EqualsIgnoringCase(host, "localhost"))
        return true;
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return false;
    return EqualsIgnoringCase(host, name);
}

// The path of one file: URL, or "" when it names nothing on this machine.
std::string LocalPathOf(std::string_view url) {
    if (url.size() < 5 || !EqualsIgnoringCase(url.substr(0, 5), "file:"))
        return {};
    std::string_view rest = url.substr(5);
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        size_t slash = rest.find('/');
        if (slash == std::string_view::npos || !IsThisHost(rest.substr(0, slash)))
            return {};
        rest.remove_prefix(slash);
    }
    if (!rest.starts_with("/"))
        return {};
    // A '?' or '#' is kept as part of the name: producers of file: URLs escape them when
    // they belong to a name, and cutting there would name another file.
    std::string path = PercentDecode(rest);
    if (path.find('\0') != std::string::npos)
        return {}; // no file has such a name
    return path;
}

} // namespace

std::vector<std::string> LocalPathsFromUriList(std::string_view uriList) {
    std::vector<std::string> paths;
    while (!uriList.empty()) {
        size_t end = uriList.find('\n');
        std::string_view line = uriList.substr(0, end);
        uriList.remove_prefix(end == std::string_view::npos ? uriList.size() : end + 1);
        // Lines end in CR LF by the format's rule, in LF alone from some programs; blanks
        // around a URL are never part of it (a blank in a name is escaped).
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        if (line.empty() || line.front() == '#')
            continue;
        std::string path = LocalPathOf(line);
        if (!path.empty())
            paths.push_back(std::move(path));
    }
    return paths;
}

} // namespace ferrox
