// Conversions between the protocol's DATE_TIME and host time values.
#pragma once

#include <ctime>

#include "grfs/xdr.h"

// The time value broken down in the local time zone; date_valid 1.
void ConvertToStdDate(DATE_TIME* date, time_t time);

// The date taken as local time (daylight saving left to the library);
// stores the result in *time when given and returns it (-1 when the date
// cannot be represented). date_valid and day_of_week are not consulted:
// callers test date_valid first.
time_t ConvertFromStdDate(const DATE_TIME* date, time_t* time);

// The same conversion, telling a failure from the time -1 (the last second
// of 1969), which ConvertFromStdDate's result cannot: true and *time set
// when the date names a time the host can represent.
bool StdDateToTime(const DATE_TIME* date, time_t* time);

// From a broken-down time the caller made (local or UTC); date_valid 1.
void ConvertTmStructToStdDate(DATE_TIME* date, const struct tm* tm);

// Fills second..year of tm from the date, tm_isdst -1, and the weekday and
// day of the year that go with that calendar date.
void ConvertTmStructFromStdDate(const DATE_TIME* date, struct tm* tm);
