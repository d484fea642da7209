// Shared pieces of the fuzz targets: per-process scratch space, the output sink and image fix-ups.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct disk;

namespace fuzz {

// A directory of this process's own, removed at a normal exit (a crash leaves it for inspection):
// under $EFSH_FUZZ_SCRATCH when set, else /dev/shm, else $TMPDIR, else /tmp.
const std::string& scratch();

// Where reports go: the targets check that output is produced safely, not what it says.
FILE* sink();

bool write_file(const std::string& path, const uint8_t* data, size_t size);

// Recursive removal without following symbolic links; true when the path is gone.
bool remove_tree(const std::string& path);

// Names in a directory, without "." and ".."; sorted.
std::vector<std::string> list_dir(const std::string& path);

// Rewrites the checksum word of a 512-byte volume header so that the header's words sum to zero.
void fix_volume_checksum(uint8_t* header);

// Rewrites the superblock checksum of every partition the header names whose superblock lies in
// the image, then the volume header's checksum; images that only differ in a checksum from a
// valid one thereby get past the checks that would otherwise stop nearly every mutation.
void fix_checksums(uint8_t* image, size_t size);

// The input as a whole image (one block to 1 MiB): its checksums repaired (fix_checksums) into
// *image, written to the scratch file `name` and opened. Null when the input is no such image or
// the disk does not open.
disk* open_image(const uint8_t* data, size_t size, const char* name, std::vector<uint8_t>* image);

// Points the C streams stdout and stderr at the sink while alive. The sanitizers and libFuzzer
// write their own reports to file descriptor 2 or their own stream, which stay as they were.
struct quiet {
    FILE* saved_out;
    FILE* saved_err;
    quiet();
    ~quiet();
    quiet(const quiet&) = delete;
    quiet& operator=(const quiet&) = delete;
};

// Closes every stream, mount and disk slot left in use, so that one input cannot affect the next.
// Returns the number of slots that were still in use.
int reset_library();

}  // namespace fuzz
