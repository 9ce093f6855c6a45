#include "persist/Options.h"

namespace ferrox {
// Interim definitions until the options file reader lands.
std::atomic<bool> DeleteToRecycle{false};
std::atomic<bool> DisplayProgressBar{false};
void LoadOptions() {}
} // namespace ferrox
