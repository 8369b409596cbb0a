#include "platform/local_time.h"

std::tm local_time(std::time_t when) {
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) local = std::tm{};
    return local;
}
