// The fields of the host's stat record that hosts name differently: kept apart from the library's
// headers, which take the time fields' names for the image's own record.
#include <sys/stat.h>
#include <sys/types.h>
#if __has_include(<sys/sysmacros.h>)
#include <sys/sysmacros.h>
#endif

#include "mount/stat_fields.h"

void set_stat_times(struct stat* st, int64_t atime, int64_t mtime, int64_t ctime)
{
    st->st_atime = static_cast<time_t>(atime);
    st->st_mtime = static_cast<time_t>(mtime);
    st->st_ctime = static_cast<time_t>(ctime);
}

void set_stat_device(struct stat* st, uint32_t major, uint32_t minor)
{
    st->st_rdev = makedev(major, minor);
}
