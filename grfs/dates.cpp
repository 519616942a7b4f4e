#include "grfs/dates.h"

#include <cstring>
#include <ctime>

void ConvertTmStructToStdDate(DATE_TIME* date, const struct tm* tm) {
    date->date_valid = 1;
    date->year = static_cast<uint16_t>(tm->tm_year + 1900);
    date->month = static_cast<uint16_t>(tm->tm_mon + 1);
    date->day = static_cast<uint16_t>(tm->tm_mday);
    date->hour = static_cast<uint16_t>(tm->tm_hour);
    date->minute = static_cast<uint16_t>(tm->tm_min);
    date->second = static_cast<uint16_t>(tm->tm_sec);
    date->day_of_week = static_cast<uint16_t>(tm->tm_wday);
}

namespace {

// What the C library knows of the zone in force: tzset and every breakdown
// set these, so a change of zone (or of its rules in use) changes them.
struct ZoneState {
    const char* std_name;
    const char* dst_name;
    long offset;
    int dst;

    static ZoneState now() { return ZoneState{tzname[0], tzname[1], timezone, daylight}; }
    bool operator==(const ZoneState&) const = default;
};

// A listing breaks down the times of a directory's entries, mostly a few
// seconds over and over: the last breakdown is kept with the zone state it
// was made in and left after.
struct LastBreakdown {
    bool valid = false;
    time_t time = 0;
    DATE_TIME date{};
    ZoneState zone{};
};
LastBreakdown last_breakdown;

}  // namespace

void ConvertToStdDate(DATE_TIME* date, time_t time) {
    if (last_breakdown.valid && last_breakdown.time == time && last_breakdown.zone == ZoneState::now()) {
        *date = last_breakdown.date;
        return;
    }
    struct tm tm;
    if (localtime_r(&time, &tm) == nullptr) {
        // A time the host cannot break down travels as "no date".
        std::memset(date, 0, sizeof *date);
        return;
    }
    ConvertTmStructToStdDate(date, &tm);
    last_breakdown = LastBreakdown{true, time, *date, ZoneState::now()};
}

void ConvertTmStructFromStdDate(const DATE_TIME* date, struct tm* tm) {
    std::memset(tm, 0, sizeof *tm);
    tm->tm_year = date->year - 1900;
    tm->tm_mon = date->month - 1;
    tm->tm_mday = date->day;
    tm->tm_hour = date->hour;
    tm->tm_min = date->minute;
    tm->tm_sec = date->second;
    tm->tm_isdst = -1;
    // Weekday and day of the year of that calendar date, for asctime; the
    // time zone plays no part in them.
    struct tm norm = *tm;
    norm.tm_isdst = 0;
    (void)timegm(&norm);
    tm->tm_wday = norm.tm_wday;
    tm->tm_yday = norm.tm_yday;
}

bool StdDateToTime(const DATE_TIME* date, time_t* time) {
    struct tm tm;
    std::memset(&tm, 0, sizeof tm);
    tm.tm_year = date->year - 1900;
    tm.tm_mon = date->month - 1;
    tm.tm_mday = date->day;
    tm.tm_hour = date->hour;
    tm.tm_min = date->minute;
    tm.tm_sec = date->second;
    tm.tm_isdst = -1;
    // mktime answers -1 both for a failure and for the last second of 1969;
    // only a success fills in the weekday.
    tm.tm_wday = -1;
    const time_t t = mktime(&tm);
    const bool converted = tm.tm_wday >= 0;
    if (time != nullptr) *time = t;
    return converted;
}

time_t ConvertFromStdDate(const DATE_TIME* date, time_t* time) {
    time_t t = -1;
    StdDateToTime(date, &t);
    if (time != nullptr) *time = t;
    return t;
}
