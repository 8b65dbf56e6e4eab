#include "platform/utctime.h"

#include <cstdio>

namespace platform {

namespace {

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
long daysFromCivil(long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long>(doe) - 719468;
}

void civilFromDays(long z, long* y, unsigned* m, unsigned* d) {
    z += 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<long>(yoe) + era * 400 + (*m <= 2);
}

}  // namespace

std::string isoUtc(std::chrono::system_clock::time_point t, bool millis) {
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    long long secs = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    long days = static_cast<long>(secs >= 0 ? secs / 86400 : (secs - 86399) / 86400);
    long rest = static_cast<long>(secs - static_cast<long long>(days) * 86400);
    long y;
    unsigned m, d;
    civilFromDays(days, &y, &m, &d);
    char text[40];
    std::snprintf(text, sizeof text, "%04ld-%02u-%02uT%02ld:%02ld:%02ld", y, m, d, rest / 3600,
                  rest / 60 % 60, rest % 60);
    std::string out = text;
    if (millis) {
        std::snprintf(text, sizeof text, ".%03lld", ms - secs * 1000);
        out += text;
    }
    return out + "Z";
}

bool parseUtc(const std::string& text, std::chrono::system_clock::time_point* out) {
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char sep = 0, end = 0;
    int n = std::sscanf(text.c_str(), "%4u-%2u-%2u%c%2u:%2u:%2u%c", &y, &mo, &d, &sep, &h, &mi, &s,
                        &end);
    bool shapeOk = text.size() >= 10 && text[4] == '-' && text[7] == '-';
    bool dateOnly = n == 3 && text.size() == 10;
    bool withTime = (n == 6 || n == 7 || (n == 8 && end == 'Z')) && (sep == 'T' || sep == ' ');
    if (n == 6 || n == 7) {
        std::size_t expected = n == 6 ? 16 : 19;
        withTime = withTime && (text.size() == expected ||
                                (text.size() == expected + 1 && text.back() == 'Z'));
    } else if (n == 8) {
        withTime = withTime && text.size() == 20;
    }
    if (!shapeOk || !(dateOnly || withTime))
        return false;
    static const unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    // The clock counts nanoseconds: it ends in 2262.
    if (y < 1970 || y > 2200 || mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] || h > 23 || mi > 59 || s > 59)
        return false;
    long days = daysFromCivil(static_cast<long>(y), mo, d);
    long civilCheck;
    unsigned mCheck, dCheck;
    civilFromDays(days, &civilCheck, &mCheck, &dCheck);
    if (mCheck != mo || dCheck != d)  // 29 February of a common year
        return false;
    *out = std::chrono::system_clock::time_point(
        std::chrono::seconds(static_cast<long long>(days) * 86400 + h * 3600 + mi * 60 + s));
    return true;
}

}  // namespace platform
