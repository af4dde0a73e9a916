// Linked into the extension modules of a portable wheel only. The static
// expat of the build machine seeds its hash salt with arc4random_buf, which
// glibc has only since 2.36; defined here (hidden, so it replaces libc's for
// this module alone), it keeps the wheel installable on older glibc.

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>

namespace {

bool fill_from_kernel(unsigned char* p, std::size_t n) {
    while (n > 0) {
        ssize_t got = getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

bool fill_from_urandom(unsigned char* p, std::size_t n) {
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    while (n > 0) {
        ssize_t got = ::read(fd, p, n);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) continue;
            ::close(fd);
            return false;
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    ::close(fd);
    return true;
}

}  // namespace

// The salt only spreads expat's name hashes; where a sandbox denies both
// sources, a clock-derived value is better than failing to parse.
extern "C" __attribute__((visibility("hidden"))) void arc4random_buf(void* buf, std::size_t n) {
    auto* p = static_cast<unsigned char*>(buf);
    if (fill_from_kernel(p, n) || fill_from_urandom(p, n)) return;
    auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    for (std::size_t i = 0; i < n; ++i) {
        p[i] = static_cast<unsigned char>(ticks >> ((i % sizeof ticks) * 8));
    }
}
