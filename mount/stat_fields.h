// Setting the host stat record's times and device number, whatever the host calls their fields.
#pragma once
#include <cstdint>

struct stat;

void set_stat_times(struct stat* st, int64_t atime, int64_t mtime, int64_t ctime);
void set_stat_device(struct stat* st, uint32_t major, uint32_t minor);
