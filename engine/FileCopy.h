#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "engine/modRXThread/ProgressChannel.h"

namespace ferrox {

// Copies Source onto the file path Target (replacing it); with Move the source goes
// afterwards, into the trash or for good as DeleteToRecycle says, but only after a
// complete copy and only while it is still the file that was copied. On false,
// errorCode holds the reason (errno or one of ours) for the caller's message.
bool DoFileCopy(const std::string& Source, const std::string& Target, bool Move,
                const std::atomic<int32_t>& AbortFlag, int& errorCode);

// Moves a file into the trash; when the trash refuses it, the file stays where it is.
void DeleteToBin(const std::string& Path);

} // namespace ferrox
