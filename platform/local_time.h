#pragma once

#include <ctime>

// `when` in the machine's local time zone. Any thread: the result is the caller's own, not a shared buffer.
// A time the C library can't convert gives a zeroed std::tm.
std::tm local_time(std::time_t when);
