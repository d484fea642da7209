// Dates in the C standard's ctime form, laid out here rather than by the host's C library: some
// libraries pad the day with a zero or give nothing for times before 1970.
#pragma once
#include <cstdint>

constexpr int DATE_TEXT_SIZE = 26;

// "Thu Jan  1 00:00:00 1970\n" for seconds since the epoch in local time, into out; null when
// the host cannot convert the time. Call host_tzset once before a run of conversions.
const char* date_text(int64_t seconds, char (&out)[DATE_TEXT_SIZE]);
