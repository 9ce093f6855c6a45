#pragma once
#include <ctime>
#include <string>

namespace ferrox {

// Moves a file (or link) into the user's trash the way freedesktop.org desktops lay
// it out: the home trash ($XDG_DATA_HOME/Trash) when the file lies on the same
// file system, else the trash of the file's own mount ($topdir/.Trash/$uid when that is
// a sticky directory and not a link, else $topdir/.Trash-$uid). A .trashinfo file is
// written first (O_EXCL), so a file manager can restore the file. 0 or errno; on failure
// the file stays where it was and no stray .trashinfo remains.
int MoveToTrash(const std::string& path);
// The same for the entry `name` of the open directory dirFd; path is the file's path as
// the user knows it, recorded for a restore while it still leads to that directory.
int MoveToTrashAt(int dirFd, const std::string& name, const std::string& path);

// The home trash directory ($XDG_DATA_HOME/Trash, default ~/.local/share/Trash).
std::string HomeTrashDir();

// Percent-encodes a path for the Path= key (RFC 2396 escapes; '/' kept).
std::string TrashEncodePath(const std::string& path);

// The bytes of a Path= value: %XX sequences decoded, anything else (a stray '%' too)
// kept as it is.
std::string TrashDecodePath(const std::string& encoded);

} // namespace ferrox
