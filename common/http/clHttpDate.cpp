#include "http/clHttpDate.h"

#include <cmath>
#include <ctime>

#include "rtl/clStrUtils.h"

namespace cl {

namespace {

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// Takes the token before the first space of the trimmed text; a token with
// no space after it is not taken.
bool TakeToken(std::string& AText, std::string& AToken) {
    AText = Trim(AText);
    const size_t space = AText.find(' ');
    if (space == std::string::npos) return false;
    AToken = AText.substr(0, space);
    AText.erase(0, space + 1);
    return true;
}

int ToInt(const std::string& AToken) {
    const int kBad = -2147483647 - 1;
    const int v = StrToIntDef(AToken, kBad);
    if (v == kBad) throw EConvertError("'" + AToken + "' is not a valid integer value");
    return v;
}

int PartOrZero(const std::string& AText, size_t& APos) {
    const size_t colon = AText.find(':', APos);
    const std::string part = AText.substr(APos, colon == std::string::npos ? std::string::npos : colon - APos);
    APos = colon == std::string::npos ? AText.size() : colon + 1;
    return StrToIntDef(part, 0);
}

bool IsLeapYear(int AYear) { return (AYear % 4 == 0 && AYear % 100 != 0) || AYear % 400 == 0; }

int DaysInMonth(int AYear, int AMonth) {
    static const int kDaysIn[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return AMonth == 2 && IsLeapYear(AYear) ? 29 : kDaysIn[AMonth - 1];
}

int CurrentLocalMonth() {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    return t.tm_mon + 1;
}

}  // namespace

long LocalUtcOffsetSeconds() {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    return t.tm_gmtoff;
}

TDateTime ParseHttpDate(const std::string& AText) {
    std::string s = Trim(AText);
    const size_t comma = s.find(',');
    if (comma != std::string::npos) s.erase(0, comma + 2);

    int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
    std::string token;
    bool taken = TakeToken(s, token);
    if (taken) day = ToInt(token);
    if (taken) {
        std::string rest = s;
        taken = TakeToken(rest, token);
        if (taken) {
            for (int m = 0; m < 12; ++m) {
                if (SameText(token, kMonths[m])) month = m + 1;
            }
            if (month != 0) {
                s = rest;
            } else {
                month = CurrentLocalMonth();  // the token is read as the year
            }
        }
    }
    if (taken) {
        taken = TakeToken(s, token);
        if (taken) {
            year = ToInt(token);
            if (year >= 0 && year < 100) year += year <= 10 ? 2000 : 1900;
        }
    }
    if (taken && TakeToken(s, token)) {
        std::string t = UpperCase(token);
        const bool pm = t.find("PM") != std::string::npos;
        if (pm) t.erase(t.find("PM"));
        const bool am = t.find("AM") != std::string::npos;
        if (am) t.erase(t.find("AM"));
        t = Trim(t);
        size_t pos = 0;
        hour = PartOrZero(t, pos);
        minute = pos < t.size() ? PartOrZero(t, pos) : 0;
        second = pos < t.size() ? PartOrZero(t, pos) : 0;
        if (pm && hour < 12) hour += 12;
        if (am && hour == 12) hour = 0;
        if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
            throw EConvertError("Invalid time in '" + AText + "'");
        }
    }
    if (year == 0 || month == 0 || day == 0) return 0;

    const std::string rest = Trim(s);
    const std::string zone = rest.substr(0, rest.find(' '));
    double offset = 0;
    if (zone.size() >= 5 && (zone[0] == '+' || zone[0] == '-')) {
        const int h = StrToIntDef(zone.substr(1, 2), -1);
        const int m = StrToIntDef(zone.substr(3, 2), -1);
        if (h >= 0 && h <= 23 && m >= 0 && m <= 59) {
            offset = (h * 60.0 + m) / 1440.0;
            if (zone[0] == '-') offset = -offset;
        }
    }
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) {
        throw EConvertError("Invalid date in '" + AText + "'");
    }
    const TDateTime utc = EncodeDateTimeValue(year, month, day, hour, minute, second) - offset;
    return utc + LocalUtcOffsetSeconds() / 86400.0;
}

std::string DateTimeToHttpDate(TDateTime ALocal) {
    const double utc = ALocal - LocalUtcOffsetSeconds() / 86400.0;
    const double unixSeconds = std::floor((utc - 25569.0) * 86400.0 + 0.5);
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm g{};
    gmtime_r(&t, &g);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[g.tm_wday], g.tm_mday,
                  kMonths[g.tm_mon], g.tm_year + 1900, g.tm_hour, g.tm_min, g.tm_sec);
    return buf;
}

}  // namespace cl
