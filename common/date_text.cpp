#include "common/date_text.h"

#include <ctime>

#include "host/host_io.h"

namespace {

char* two_digits(char* p, int v)
{
    *p++ = static_cast<char>('0' + v / 10 % 10);
    *p++ = static_cast<char>('0' + v % 10);
    return p;
}

}  // namespace

const char* date_text(int64_t seconds, char (&out)[DATE_TEXT_SIZE])
{
    static const char days[] = "SunMonTueWedThuFriSat";
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    std::tm tm{};
    if (!host_localtime(seconds, &tm) || tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_wday < 0 || tm.tm_wday > 6 ||
        tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour < 0 || tm.tm_hour > 23 || tm.tm_min < 0 ||
        tm.tm_min > 59 || tm.tm_sec < 0 || tm.tm_sec > 60)
        return nullptr;
    long year = 1900L + tm.tm_year;
    if (year < 1000 || year > 9999)
        return nullptr;
    char* p = out;
    for (int i = 0; i < 3; ++i)
        *p++ = days[3 * tm.tm_wday + i];
    *p++ = ' ';
    for (int i = 0; i < 3; ++i)
        *p++ = months[3 * tm.tm_mon + i];
    *p++ = ' ';
    *p++ = tm.tm_mday < 10 ? ' ' : static_cast<char>('0' + tm.tm_mday / 10);
    *p++ = static_cast<char>('0' + tm.tm_mday % 10);
    *p++ = ' ';
    p = two_digits(p, tm.tm_hour);
    *p++ = ':';
    p = two_digits(p, tm.tm_min);
    *p++ = ':';
    p = two_digits(p, tm.tm_sec);
    *p++ = ' ';
    p = two_digits(two_digits(p, static_cast<int>(year / 100)), static_cast<int>(year % 100));
    *p++ = '\n';
    *p = '\0';
    return out;
}
