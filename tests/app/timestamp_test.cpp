#include "app/timestamp.h"

#include <gtest/gtest.h>

#include "tests/app/local_time.h"

#include <ctime>
#include <iomanip>
#include <locale>
#include <string>

namespace {

TEST(Timestamp, DayMonthYearHourMinuteSecondWithLeadingZeros) {
    std::ostringstream formatter;
    EXPECT_EQ(format_timestamp(local_time(2026, 12, 6, 7, 8, 15), formatter), "06-12-2026_07-08-15");
}

// Time formatting as a locale with its own digits does it: every number comes out in Arabic-Indic digits
// (two UTF-8 bytes each). The installed system locales format these fields with ASCII digits, so only a
// facet like this one shows whether the global locale reaches the file names.
class NativeDigitsTimePut : public std::time_put<char> {
protected:
    iter_type do_put(iter_type out, std::ios_base&, char_type, const std::tm* time, char format,
                     char) const override {
        std::ostringstream ascii;
        ascii.imbue(std::locale::classic());
        const char pattern[] = {'%', format, '\0'};
        ascii << std::put_time(time, pattern);
        for (char c : ascii.str()) {
            if (c >= '0' && c <= '9') {
                *out++ = '\xD9';
                *out++ = static_cast<char>('\xA0' + (c - '0'));
            } else {
                *out++ = c;
            }
        }
        return out;
    }
};

// Puts a locale in place for the whole process and takes it back out, even when an assertion fails.
class GlobalLocale {
public:
    explicit GlobalLocale(const std::locale& locale) : before_(std::locale::global(locale)) {}
    ~GlobalLocale() { std::locale::global(before_); }
    GlobalLocale(const GlobalLocale&) = delete;
    GlobalLocale& operator=(const GlobalLocale&) = delete;

private:
    std::locale before_;
};

TEST(Timestamp, IgnoresTheGlobalLocale) {
    // A person's locale must not leak into file names (digits, separators).
    const GlobalLocale native(std::locale(std::locale::classic(), new NativeDigitsTimePut));
    const std::time_t when = local_time(2027, 1, 31, 23, 59, 9);

    // The locale really changes how a new stream formats times; otherwise this test would guard nothing.
    std::ostringstream plain;
    std::tm local{};
    localtime_r(&when, &local);
    plain << std::put_time(&local, "%d");
    ASSERT_EQ(plain.str(), "\xD9\xA3\xD9\xA1");

    std::ostringstream formatter;
    EXPECT_EQ(format_timestamp(when, formatter), "31-01-2027_23-59-09");
}

}  // namespace
