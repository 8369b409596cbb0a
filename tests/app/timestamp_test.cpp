#include "app/timestamp.h"

#include <gtest/gtest.h>

#include "tests/app/local_time.h"

#include <cstdlib>
#include <locale>

namespace {

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
