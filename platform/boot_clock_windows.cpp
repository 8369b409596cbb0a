#include "platform/boot_clock.h"

// The performance counter behind the steady clock goes on counting while the machine sleeps.
BootClock::time_point BootClock::now() noexcept {
    return time_point(
        std::chrono::duration_cast<duration>(std::chrono::steady_clock::now().time_since_epoch()));
}
