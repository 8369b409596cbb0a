#pragma once

// Something the console wait can block on beside the input: on POSIX a descriptor that becomes readable, on
// Windows an event handle that becomes signalled. Not owned by whoever holds the value.
#if defined(_WIN32)
using Waitable = void*;
inline constexpr Waitable no_waitable = nullptr;
#else
using Waitable = int;
inline constexpr Waitable no_waitable = -1;
#endif
