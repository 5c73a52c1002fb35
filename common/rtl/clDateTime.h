// Date-times as day numbers: whole days since 1899-12-30 plus the fraction
// of the day, in local time, and their text form.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>

namespace cl {

using TDateTime = double;

// The day number of a local calendar date and time.
inline TDateTime EncodeDateTimeValue(int AYear, int AMonth, int ADay, int AHour, int AMinute, int ASecond,
                                     int AMilliSecond = 0) {
    // Days from the civil date (proleptic Gregorian), counted from 1970-01-01.
    const int y = AYear - (AMonth <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int mp = (AMonth + 9) % 12;
    const int doy = (153 * mp + 2) / 5 + ADay - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long days1970 = static_cast<long>(era) * 146097 + doe - 719468;
    const double frac = (AHour * 3600000.0 + AMinute * 60000.0 + ASecond * 1000.0 + AMilliSecond) / 86400000.0;
    return static_cast<double>(days1970 + 25569) + frac;
}

// A moment of the system clock as a local day number.
inline TDateTime UnixTimeToLocalDateTime(std::time_t ATime, int AMilliSecond = 0) {
    std::tm t{};
    localtime_r(&ATime, &t);
    return EncodeDateTimeValue(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, AMilliSecond);
}

inline TDateTime NowDateTime() {
    std::timespec ts{};
    std::timespec_get(&ts, TIME_UTC);
    return UnixTimeToLocalDateTime(ts.tv_sec, static_cast<int>(ts.tv_nsec / 1000000));
}

// Fifteen significant digits, no trailing zeros ("46000.2543287037").
inline std::string FloatToStr(double AValue) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.15g", AValue);
    return buf;
}

}  // namespace cl
