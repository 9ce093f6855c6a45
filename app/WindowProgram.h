#pragma once
#include <memory>

#include "core/CommandLine.h"
#include "core/instance/SingleInstance.h"

namespace ferrox {

// The window's life in this process, once the application object exists: the window and
// its please-wait box, the command line's own request once the queue is loaded, the
// server that other `ferrox` commands reach through `listener` (none: no server), the
// event loop. The window does not keep the working directory it was started in. Returns
// the exit status; when the window was closed during a run whose last step the kernel
// holds up (a slow device taking what is in flight), it ends the process itself rather
// than stay on without a window.
int RunWindow(const TCommandLine& command, std::unique_ptr<TInstanceListener> listener);

} // namespace ferrox
