#include "app/timestamp.h"

#include <iomanip>
#include <locale>

#include "platform/local_time.h"

std::string format_timestamp(std::time_t when, std::ostringstream& formatter) {
    const std::tm local = local_time(when);
    formatter.imbue(std::locale::classic());
    formatter << std::put_time(&local, "%d-%m-%Y_%H-%M-%S");
    return formatter.str();
}
