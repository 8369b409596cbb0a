#include "platform/random_bytes.h"

#include <sys/random.h>

#include <cerrno>

bool random_bytes(unsigned char* into, std::size_t count) {
    std::size_t filled = 0;
    while (filled < count) {
        // Blocks only before the kernel's pool is first seeded, early in a boot, which is what keeps the
        // bytes from being guessable.
        const ssize_t got = getrandom(into + filled, count - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        filled += static_cast<std::size_t>(got);
    }
    return true;
}
