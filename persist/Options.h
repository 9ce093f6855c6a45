#pragma once
#include <atomic>

namespace ferrox {

// Process-wide switches, false until LoadOptions has read them.
extern std::atomic<bool> DeleteToRecycle;
extern std::atomic<bool> DisplayProgressBar;

void LoadOptions();

} // namespace ferrox
