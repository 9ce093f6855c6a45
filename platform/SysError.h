#pragma once
#include <string>

namespace ferrox {

// Error codes of our own, beyond errno, for refusals the kernel has no word for.
enum TFerroxError : int {
    errSameFile = 10001,                // source and target are the same file
    errDirIntoItself = 10002,           // a directory copied into itself or its own subtree
    errRootDirectory = 10003,           // the root directory as a source
    errSpecialFile = 10004,             // fifo, socket or device: never opened for reading
    errSourceChanged = 10005,           // a moved source changed after its copy, and was kept
    errSourceChangedDuringCopy = 10006, // size or time changed while the data was read
    errTargetIsLink = 10007,            // a directory below the destination is a link
    errAttributesIncomplete = 10008,    // the target refused some extended attributes
    errVerificationFailed = 10009,      // the copy read back differs from what was written
    errNameRefused = 10010,             // the target's file system does not allow the name
    errNoSymlinks = 10011,              // the target's file system cannot hold symbolic links
    errJustCopiedOther = 10012,         // the target is a file this run copied from elsewhere
};

// The text for an error code (errno or one of ours) with trailing blanks, control
// characters and full stops removed.
std::string SysErrorMessage(int code);

} // namespace ferrox
