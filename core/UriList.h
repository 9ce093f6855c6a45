#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace ferrox {

// The local paths named by a text/uri-list (what file managers put on a drag), in its
// order. Escapes are decoded byte for byte, so a name that is not valid UTF-8 comes out
// exactly as it is on disk, however long it is. Only file: URLs of this machine count
// (no host, "localhost" or this host's name); comments, other schemes, other hosts and
// anything that cannot be a path are left out.
std::vector<std::string> LocalPathsFromUriList(std::string_view uriList);

} // namespace ferrox
