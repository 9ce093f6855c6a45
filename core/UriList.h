#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace ferrox {

// What a text/uri-list (what file managers put on a drag or on the clipboard) names, in
// its order: the local paths, and the URLs that name nothing on this machine.
struct TUriList {
    // Escapes are decoded byte for byte, so a name that is not valid UTF-8 comes out
    // exactly as it is on disk, however long it is.
    std::vector<std::string> LocalPaths;
    // As they were written: other schemes (sftp:, smb:, trash:, recent:, http:...),
    // file: URLs of another host and file: URLs that cannot be a path. A share mounted
    // into the file system arrives as a file: URL of its mount point and is local.
    std::vector<std::string> NotLocal;
};

// Only file: URLs of this machine are local (no host, "localhost" or this host's name).
// Comments and blank lines are no URLs at all.
TUriList ReadUriList(std::string_view uriList);

// The form GNOME file managers put on the clipboard: "copy" or "cut" on the first line,
// then one URL a line. A cut is read like a copy: nothing here ever moves the files.
TUriList ReadCopiedFiles(std::string_view copiedFiles);

// The paths as a text/uri-list that ReadUriList reads back to the same bytes: file:
// URLs, every byte but letters, digits, "-._~" and '/' escaped, each line ending in
// CR LF. A path that is not absolute names no URL and is left out.
std::string UriListOf(const std::vector<std::string>& paths);

} // namespace ferrox
