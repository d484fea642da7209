// Images for the fuzz targets: the fixed tree of the shell target and the seed images.
#pragma once
#include <string>
#include <vector>

#include "tests/support/image_builder.h"

namespace fuzz {

// The image the shell target runs its command lines over: subdirectories, files of one, several,
// more than 12 and more than 64 extents, symbolic links and devices, all in partition 7.
imgb::Disk shell_disk();

struct named_disk {
    std::string name;
    imgb::Disk disk;
};

// Valid images with every layout the reader handles, and damaged ones, one switch each.
std::vector<named_disk> seed_disks();

// Writes d with its partitions packed right behind the volume header and each file system in
// one cylinder group just large enough: small inputs keep the mutations on the metadata.
imgb::Result write_compact(imgb::Disk d, const std::string& path);

}  // namespace fuzz
