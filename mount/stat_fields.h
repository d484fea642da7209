// Setting the host stat record's times and device number, whatever the host calls their fields.
#pragma once
#include <cstdint>

struct stat;

void set_stat_times(struct stat* st, int64_t atime, int64_t mtime, int64_t ctime);
// False, with the record untouched, when the number cannot reach the kernel as it is: the host's
// device numbers, and the 32 bits the FUSE protocol carries of them, hold fewer bits than the
// image's (Linux: a 12-bit major and a 20-bit minor).
bool set_stat_device(struct stat* st, uint32_t major, uint32_t minor);
