// Fuzz target: the volume header of an arbitrary image, opened, summarised, reported and closed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "efs/fs_error.h"
#include "fuzz/fuzz_support.h"
#include "shell/shell.h"
#include "volume/volume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Byte 0 decides whether the header keeps its checksum as given: with a fixed checksum the
    // mutations reach the decoded fields instead of ending at the checksum test.
    if (size == 0)
        return 0;
    const bool keep_checksum = data[0] & 1;
    std::vector<uint8_t> image(data + 1, data + size);
    if (!keep_checksum && image.size() >= BLOCK_SIZE)
        fuzz::fix_volume_checksum(image.data());

    static const std::string path = fuzz::scratch() + "/volume.img";
    if (!fuzz::write_file(path, image.data(), image.size()))
        std::abort();
    fs_errno = FS_OK;
    disk* d = disk_open(path.c_str());
    if (d) {
        print_partition_summary(fuzz::sink(), d->header);
        print_volume_header(fuzz::sink(), d->header);
        if (!disk_close(d))
            std::abort();
    } else if (fs_errno == FS_OK) {
        std::abort();  // a refused image always says why
    }
    if (fuzz::reset_library() != 0)
        std::abort();
    return 0;
}
