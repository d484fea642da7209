// cp's byte mover: a file's runs into the host file, shared by the host where it can, otherwise
// gathered into large writes.
#include <cstring>

#include "common/report.h"
#include "efs/efs_file.h"
#include "host/host_io.h"
#include "volume/image.h"
#include "walk/copy.h"
#include "walk/progress.h"
#include "walk/work.h"

namespace {

// Extents read back to back gather here and go into the host file about four at a time: file
// systems that keep a file in large blocks take a run of writes of one extent each a fifth slower,
// and half a megabyte still stays in the processor's cache between the read and the write. Each
// write but the last ends on a multiple of 128 KiB in the file (the rest moves to the front and
// goes with the next one): extents are 124 KiB, and writes that leave the host's large pages of
// a new file half filled measured some 4% slower on ext4. The buffer holds what is left (less
// than WRITE_ALIGN) plus reads up to WRITE_PIECE and one more extent.
constexpr size_t WRITE_PIECE = 4 * STREAM_BUF_SIZE;
constexpr size_t WRITE_ALIGN = 128 * 1024;
static_assert(WRITE_ALIGN <= WRITE_PIECE);
uint8_t gathered[WRITE_PIECE + STREAM_BUF_SIZE];

// Runs of extents back to back in the image at least this long are offered to the host to share.
// Where the host copies inside the kernel, every run is offered, the last of a file too: the part
// of its last block past the file's end is read first (an extent that cannot be read whole
// delivers nothing), a read of less than a block, and the kernel's one copy of the data still
// takes a tenth less than reading and writing it (measured on tmpfs with files of 100 kB).
constexpr size_t IN_HOST_RUN = 1024 * 1024;

// Writes what has gathered: all of it, or (all false) as much as ends on a multiple of WRITE_ALIGN.
void write_gathered(host_out* out, size_t* fill, bool* write_failed, bool all = true)
{
    size_t n = all ? *fill : *fill & ~(WRITE_ALIGN - 1);
    if (n != 0 && !*write_failed && host_write(out, gathered, n) != n) {
        if (!work_stopped())  // a write a stop cut short is said by the stop's own line
            report_errno("fwrite");
        *write_failed = true;
    }
    std::memmove(gathered, gathered + n, *fill - n);
    *fill -= n;
}

}  // namespace

bool move_bytes(fs_file* s, host_out* out)
{
    bool write_failed = false;
    size_t fill = 0;
    // A translated image's runs are not bytes of its file: only read and written.
    const bool in_place = image_in_place(s->fs->handle);
    fs_run r;
    // A stop is taken between runs: at most one extent (or one shared run) later.
    while (!work_stopped() && fs_next_run(s, &r)) {
        fs_run whole = r;
        fs_join_run(s, &whole);
        bool long_run = whole.bytes >= IN_HOST_RUN;
        bool in_host = host_copies_in_kernel(out) || (long_run && host_can_share(out, whole.offset, whole.bytes, fill));
        // A run that cannot be shared where it would land leaves what has gathered in place, so the
        // writes stay large; one that can sends it first.
        if (!write_failed && in_host && in_place) {
            write_gathered(out, &fill, &write_failed);
            if (!write_failed && fs_copy_run(s, &whole, out)) {
                progress_bytes(whole.bytes);
                work_bytes(whole.bytes);
                continue;
            }
        }
        if (!fs_read_run(s, &r, gathered + fill))
            break;
        fill += r.bytes;
        progress_bytes(r.bytes);
        work_bytes(r.bytes);
        if (fill >= WRITE_PIECE)
            write_gathered(out, &fill, &write_failed, false);
    }
    write_gathered(out, &fill, &write_failed);
    return !write_failed;
}
