#include "platform/SysError.h"

#include <cstring>

namespace ferrox {

std::string SysErrorMessage(int code) {
    std::string text;
    switch (code) {
    case errSameFile:
        text = "The source and the target are the same file";
        break;
    case errDirIntoItself:
        text = "A directory cannot be copied into itself";
        break;
    case errRootDirectory:
        text = "The root directory cannot be copied as a whole";
        break;
    case errSpecialFile:
        text = "Not a regular file, directory or link (fifo, socket or device)";
        break;
    case errSourceChanged:
        text = "The source changed while it was copied and was kept";
        break;
    case errSourceChangedDuringCopy:
        text = "Source changed during the copy";
        break;
    case errTargetIsLink:
        text = "A symbolic link where a directory is to be made or entered is not followed";
        break;
    case errAttributesIncomplete:
        text = "The target refused some of the extended attributes";
        break;
    case errVerificationFailed:
        text = "The copy read back from the disk differs from what was written";
        break;
    case errNameRefused:
        text = "The name is not allowed on the target file system";
        break;
    case errNoSymlinks:
        text = "The target file system cannot hold symbolic links";
        break;
    case errJustCopiedOther:
        text = "Not replaced: this run has just copied another file to the target";
        break;
    default: {
        char buf[256];
        // GNU strerror_r returns the text, which may or may not live in buf.
        text = ::strerror_r(code, buf, sizeof buf);
    }
    }
    while (!text.empty()) {
        unsigned char c = static_cast<unsigned char>(text.back());
        if (c == ' ' || c == '.' || c < 0x20 || c == 0x7f)
            text.pop_back();
        else
            break;
    }
    return text;
}

} // namespace ferrox
