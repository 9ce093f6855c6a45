#include "core/UriList.h"

#include "platform/Path.h"

#include <climits>
#include <unistd.h>
#include <utility>

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

// One URL a line, CR LF or LF alone; blanks around a URL are never part of it (a blank in
// a name is escaped). Calls `take` with each line that is not blank.
template <class Take> void EachLine(std::string_view text, Take take) {
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        if (!line.empty())
            take(line);
    }
}

void ReadUrl(std::string_view url, TUriList& into) {
    std::string path = LocalPathOf(url);
    if (path.empty())
        into.NotLocal.emplace_back(url);
    else
        into.LocalPaths.push_back(std::move(path));
}

} // namespace

TUriList ReadUriList(std::string_view uriList) {
    TUriList out;
    EachLine(uriList, [&](std::string_view line) {
        if (line.front() != '#')
            ReadUrl(line, out);
    });
    return out;
}

TUriList ReadCopiedFiles(std::string_view copiedFiles) {
    TUriList out;
    bool first = true;
    EachLine(copiedFiles, [&](std::string_view line) {
        // The word before the URLs; some writers leave it out.
        if (std::exchange(first, false) && (line == "copy" || line == "cut"))
            return;
        ReadUrl(line, out);
    });
    return out;
}

std::string UriListOf(const std::vector<std::string>& paths) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const std::string& path : paths) {
        if (!path.starts_with('/'))
            continue; // "file://" and a relative path would name a host
        out += "file://";
        for (unsigned char c : path) {
            const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                               (c >= '0' && c <= '9') || c == '/' || c == '-' || c == '.' ||
                               c == '_' || c == '~';
            if (plain)
                out += static_cast<char>(c);
            else
                out += {'%', hex[c >> 4], hex[c & 15]};
        }
        out += "\r\n";
    }
    return out;
}

} // namespace ferrox
