#include "app/timestamp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <locale>

namespace {

std::time_t local_time(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

TEST(Timestamp, DayMonthYearHourMinuteSecondWithLeadingZeros) {
    std::ostringstream formatter;
    EXPECT_EQ(format_timestamp(local_time(2026, 12, 6, 7, 8, 15), formatter), "06-12-2026_07-08-15");
}

TEST(Timestamp, IgnoresTheGlobalLocale) {
    // A person's locale must not leak into file names (digits, separators).
    std::locale before = std::locale::global(std::locale::classic());
    try {
        std::locale::global(std::locale("C.UTF-8"));
    } catch (const std::runtime_error&) {
    }
    std::ostringstream formatter;
    EXPECT_EQ(format_timestamp(local_time(2027, 1, 31, 23, 59, 9), formatter), "31-01-2027_23-59-09");
    std::locale::global(before);
}

}  // namespace
