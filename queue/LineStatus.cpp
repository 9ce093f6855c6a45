#include "queue/LineStatus.h"

namespace ferrox {

const char* LineStatusName(int32_t status) {
    static const char* const names[] = {"lsFileWaiting", "lsDirWaiting",  "lsFileDone",
                                        "lsDirDone",     "lsFileCopying", "lsDirCopying",
                                        "lsFileFailed",  "lsDirFailed"};
    return status >= 0 && status < 8 ? names[status] : "";
}

} // namespace ferrox
