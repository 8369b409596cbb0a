#include "platform/random_bytes.h"

#include <windows.h>

#include <bcrypt.h>

#include <limits>

bool random_bytes(unsigned char* into, std::size_t count) {
    if (count > std::numeric_limits<ULONG>::max()) return false;
    return BCRYPT_SUCCESS(
        BCryptGenRandom(nullptr, into, static_cast<ULONG>(count), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}
