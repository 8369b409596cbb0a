#pragma once

#include <cstddef>

// Fills `into` with `count` bytes from the operating system's cryptographic random source (getrandom on
// Linux, BCryptGenRandom on Windows), for values another process on the machine must not guess. Returns
// false, with `into` left unfit for that use, when the source could not give them. Any thread.
bool random_bytes(unsigned char* into, std::size_t count);
