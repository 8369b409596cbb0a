#include "platform/local_time.h"

#include <time.h>

std::tm local_time(std::time_t when) {
    std::tm local{};
    if (localtime_s(&local, &when) != 0) local = std::tm{};
    return local;
}
