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

bool set_stat_device(struct stat* st, uint32_t major, uint32_t minor)
{
    dev_t dev = makedev(major, minor);
    // What the kernel gets: libfuse hands it the low 32 bits, which the kernel splits again.
    auto carried = static_cast<dev_t>(static_cast<uint32_t>(dev));
    if (static_cast<uint32_t>(major(dev)) != major || static_cast<uint32_t>(minor(dev)) != minor ||
        static_cast<uint32_t>(major(carried)) != major || static_cast<uint32_t>(minor(carried)) != minor)
        return false;
    st->st_rdev = dev;
    return true;
}
