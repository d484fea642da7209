// Debug report of a mounted file system's superblock: one field per line with its label.
#include "efs/efs_io.h"

#include <cstring>

#include "common/date_text.h"
#include "host/host_io.h"

namespace {

// Copies a 6-byte name field into buf, stopping at its first NUL, and terminates it.
const char* name_field(const char (&field)[6], char (&buf)[7])
{
    size_t n = strnlen(field, sizeof field);
    std::memcpy(buf, field, n);
    buf[n] = '\0';
    return buf;
}

}  // namespace

void print_superblock(FILE* out, const superblock* sb)
{
    std::fprintf(out, "%d\t%s\n", sb->sb_size, "size of filesystem, in sectors");
    std::fprintf(out, "%d\t%s\n", sb->sb_first_cg, "bb offset to first cg");
    std::fprintf(out, "%d\t%s\n", sb->sb_cg_size, "size of cylinder group in bb's");
    std::fprintf(out, "%d\t%s\n", sb->sb_cg_inode_blocks, "bb's of inodes per cylinder group");
    std::fprintf(out, "%d\t%s\n", sb->sb_sectors, "sectors per track");
    std::fprintf(out, "%d\t%s\n", sb->sb_heads, "heads per cylinder");
    std::fprintf(out, "%d\t%s\n", sb->sb_cg_count, "# of cylinder groups in filesystem");
    std::fprintf(out, "%d\t%s\n", sb->sb_dirty, "fs needs to be fsck'd");

    // The date's text carries its own newline, which ends the line.
    char text[DATE_TEXT_SIZE];
    host_tzset();
    const char* date = date_text(sb->sb_time, text);
    std::fprintf(out, "%s\t%s", "last super-block update:",
                 date != nullptr ? date : "(unrepresentable date)\n");

    std::fprintf(out, "%x\t%s (should be %x)\n", static_cast<unsigned>(sb->sb_magic),
                 "magic number", static_cast<unsigned>(SB_MAGIC));
    char name[7];
    std::fprintf(out, "file system name: %6s\n", name_field(sb->sb_name, name));
    std::fprintf(out, "file system pack name: %6s\n", name_field(sb->sb_pack, name));
    std::fprintf(out, "%d\t%s\n", sb->sb_bitmap_size, "size of bitmap in bytes");
    std::fprintf(out, "%d\t%s\n", sb->sb_free_blocks, "total free data blocks");
    std::fprintf(out, "%d\t%s\n", sb->sb_free_inodes, "total free inodes");
    std::fprintf(out, "%d\t%s\n", sb->sb_bitmap_block, "bitmap location.");
    std::fprintf(out, "%d\t%s\n", sb->sb_replica_block, "Location of replicated superblock.");
    std::fprintf(out, "%d\t%s\n", sb->sb_last_inode, "last allocated inode");
    std::fprintf(out, "%x\t%s\n", static_cast<unsigned>(sb->sb_checksum),
                 "checksum of volume portion of fs");
}

void print_size_bound(FILE* out, const fs* f)
{
    if (f->block_bound >= f->superblock->sb_size)
        return;
    std::fprintf(out, "%lld\t%s\n", static_cast<long long>(f->block_bound),
                 "sectors the partition and the image hold of it: the bound of every walk");
}
