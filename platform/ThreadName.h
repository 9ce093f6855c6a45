#pragma once

namespace ferrox {

// Names the calling thread (at most 15 bytes show), so tools (top -H, gdb) and tests can
// tell Ferrox's threads apart.
void NameThisThread(const char* name);

} // namespace ferrox
