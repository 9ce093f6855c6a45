#include "platform/ThreadName.h"

#include <pthread.h>

namespace ferrox {

void NameThisThread(const char* name) {
    ::pthread_setname_np(::pthread_self(), name);
}

} // namespace ferrox
