#pragma once
#include <cstdint>

namespace ferrox {

// Status = 2 * state + kind; kind 0 file, 1 directory; state 0 waiting, 1 done,
// 2 being copied, 3 failed. The value is also the index of the line's image.
enum TLineStatus : int32_t {
    lsFileWaiting = 0,
    lsDirWaiting = 1,
    lsFileDone = 2,
    lsDirDone = 3,
    lsFileCopying = 4,
    lsDirCopying = 5,
    lsFileFailed = 6,
    lsDirFailed = 7,
};

// "lsFileWaiting" ... "lsDirFailed"; "" for a value outside 0..7.
const char* LineStatusName(int32_t status);

constexpr bool IsDirStatus(int32_t status) {
    return (status & 1) != 0;
}
constexpr bool IsCompletedStatus(int32_t status) {
    return status == lsFileDone || status == lsDirDone;
}
constexpr bool IsInProgressStatus(int32_t status) {
    return status == lsFileCopying || status == lsDirCopying;
}

} // namespace ferrox
