#pragma once

#include <chrono>

// A steady clock that also runs while the machine sleeps or is suspended: CLOCK_BOOTTIME on Linux, where the
// steady clock stops during suspend; the steady clock where that already counts it or nothing better exists.
// Two readings a long way apart across one turn of a loop that runs every tenth of a second mean the process
// did not run in between, for whatever reason: stopped and continued, the machine asleep, a virtual machine
// paused. Any thread.
struct BootClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<BootClock>;
    static constexpr bool is_steady = true;
    static time_point now() noexcept;
};
