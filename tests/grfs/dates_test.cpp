#include "grfs/dates.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

// Sets the time zone for one test and restores the previous one.
class TimeZone {
  public:
    explicit TimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) saved_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~TimeZone() {
        if (saved_)
            setenv("TZ", saved_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    std::optional<std::string> saved_;
};

// US Eastern rules written out, so no zone database is needed.
constexpr const char* kEastern = "EST5EDT,M3.2.0,M11.1.0";

void expect_date(const DATE_TIME& d, int valid, int y, int mo, int da, int h, int mi, int s, int wd) {
    EXPECT_EQ(d.date_valid, valid);
    EXPECT_EQ(d.year, y);
    EXPECT_EQ(d.month, mo);
    EXPECT_EQ(d.day, da);
    EXPECT_EQ(d.hour, h);
    EXPECT_EQ(d.minute, mi);
    EXPECT_EQ(d.second, s);
    EXPECT_EQ(d.day_of_week, wd);
}

TEST(Dates, EpochInUtc) {
    TimeZone tz("UTC0");
    DATE_TIME d{};
    ConvertToStdDate(&d, 0);
    expect_date(d, 1, 1970, 1, 1, 0, 0, 0, 4);
}

TEST(Dates, ToDateUsesTheLocalZone) {
    TimeZone tz(kEastern);
    DATE_TIME d{};
    ConvertToStdDate(&d, 0);
    expect_date(d, 1, 1969, 12, 31, 19, 0, 0, 3);
    ConvertToStdDate(&d, 1625140800);  // 2021-07-01 12:00 UTC, daylight saving time
    expect_date(d, 1, 2021, 7, 1, 8, 0, 0, 4);
}

TEST(Dates, FromDateIsLocalTimeWithDaylightSavingFoundByTheLibrary) {
    TimeZone tz(kEastern);
    DATE_TIME summer{1, 2021, 7, 1, 8, 0, 0, 0};
    time_t t = 0;
    EXPECT_EQ(ConvertFromStdDate(&summer, &t), 1625140800);
    EXPECT_EQ(t, 1625140800);
    DATE_TIME winter{1, 2021, 1, 15, 7, 30, 15, 0};
    EXPECT_EQ(ConvertFromStdDate(&winter, nullptr), 1610713815);  // 12:30:15 UTC

    // round trip through the host time value
    DATE_TIME back{};
    ConvertToStdDate(&back, ConvertFromStdDate(&winter, nullptr));
    expect_date(back, 1, 2021, 1, 15, 7, 30, 15, 5);
}

TEST(Dates, FromDateConsultsNeitherValidFlagNorWeekday) {
    TimeZone tz("UTC0");
    DATE_TIME d{0, 1970, 1, 2, 0, 0, 0, 6};
    EXPECT_EQ(ConvertFromStdDate(&d, nullptr), 86400);
    // What an absent date holds: converting it is the caller's mistake, but
    // it must not fail or read anything else.
    DATE_TIME absent{};
    time_t t = 12345;
    ConvertFromStdDate(&absent, &t);
    EXPECT_NE(t, 12345);
}

TEST(Dates, BrokenDownTimesInUtcAndLocal) {
    TimeZone tz(kEastern);
    const time_t when = 1625140800;
    struct tm utc;
    gmtime_r(&when, &utc);
    DATE_TIME d{};
    ConvertTmStructToStdDate(&d, &utc);
    expect_date(d, 1, 2021, 7, 1, 12, 0, 0, 4);
    struct tm local;
    localtime_r(&when, &local);
    ConvertTmStructToStdDate(&d, &local);
    expect_date(d, 1, 2021, 7, 1, 8, 0, 0, 4);
}

TEST(Dates, ToBrokenDownTimeForTheTracePrinter) {
    DATE_TIME d{1, 2021, 7, 1, 8, 9, 10, 0};
    struct tm tm;
    std::memset(&tm, 0x55, sizeof tm);
    ConvertTmStructFromStdDate(&d, &tm);
    EXPECT_EQ(tm.tm_year, 121);
    EXPECT_EQ(tm.tm_mon, 6);
    EXPECT_EQ(tm.tm_mday, 1);
    EXPECT_EQ(tm.tm_hour, 8);
    EXPECT_EQ(tm.tm_min, 9);
    EXPECT_EQ(tm.tm_sec, 10);
    EXPECT_EQ(tm.tm_isdst, -1);
    EXPECT_EQ(tm.tm_wday, 4);  // from the calendar date, not from day_of_week
    EXPECT_EQ(tm.tm_yday, 181);
    char text[64];
    EXPECT_STREQ(asctime_r(&tm, text), "Thu Jul  1 08:09:10 2021\n");
}

TEST(Dates, AbsentDateBreaksDownWithoutTrouble) {
    DATE_TIME absent{};
    struct tm tm;
    ConvertTmStructFromStdDate(&absent, &tm);
    EXPECT_EQ(tm.tm_year, -1900);
    EXPECT_EQ(tm.tm_mon, -1);
    EXPECT_EQ(tm.tm_mday, 0);
    EXPECT_GE(tm.tm_wday, 0);
    EXPECT_LE(tm.tm_wday, 6);
}

}  // namespace

namespace {

// The last second of 1969 is a time like the others, in any zone; so are
// times before 1970, around 2038 and in 2100.
TEST(Dates, EdgeTimesConvertBothWaysAndMinusOneIsNoFailure) {
    for (const char* zone : {"UTC0", kEastern}) {
        TimeZone tz(zone);
        for (const time_t t : {time_t{-1}, time_t{-315619200}, time_t{2147483647}, time_t{2147483648LL},
                               time_t{4102444800LL}}) {
            SCOPED_TRACE(std::string(zone) + " " + std::to_string(static_cast<long long>(t)));
            DATE_TIME d{};
            ConvertToStdDate(&d, t);
            time_t back = 0;
            EXPECT_TRUE(StdDateToTime(&d, &back));
            EXPECT_EQ(back, t);
        }
    }
}

}  // namespace
