#include "app/timestamp.h"

#include <iomanip>
#include <locale>

std::string format_timestamp(std::time_t when, std::ostringstream& formatter) {
    std::tm local{};
    localtime_r(&when, &local);
    formatter.imbue(std::locale::classic());
    formatter << std::put_time(&local, "%d-%m-%Y_%H-%M-%S");
    return formatter.str();
}
