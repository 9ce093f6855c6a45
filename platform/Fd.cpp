#include "platform/Fd.h"

#include <cerrno>
#include <unistd.h>

namespace ferrox {

TFd& TFd::operator=(TFd&& other) noexcept {
    if (this != &other) {
        Reset();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void TFd::Reset() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool TFd::Close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 || errno == EINTR;
}

} // namespace ferrox
