#include "EngineFixture.h"

#include <fcntl.h>
#include <random>
#include <vector>

namespace ferrox::test {

void WriteBigFile(const std::string& path, int mib) {
    std::vector<uint64_t> block(1 << 17); // 1 MiB
    std::mt19937_64 rng(42);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < mib; ++i) {
        for (auto& v : block)
            v = rng();
        ASSERT_EQ(::write(fd, block.data(), 1 << 20), 1 << 20);
    }
    ::close(fd);
}

} // namespace ferrox::test
