// EFS reader: file streams and directory streams over one table of 16 slots.
#pragma once
#include <cstdint>
#include <memory>

#include "efs/efs_io.h"

constexpr int STREAM_SLOTS = 16;
constexpr int STREAM_BUF_BLOCKS = 248;
constexpr uint32_t STREAM_BUF_SIZE = STREAM_BUF_BLOCKS * 512;  // 126976

struct fs_dirent {
    uint32_t d_ino;
    uint16_t d_reclen;
    uint16_t d_namlen;
    char d_name[256];
};

struct fs_file {
    struct fs* fs;  // null when the slot is free
    std::unique_ptr<disk_inode> inode;
    uint32_t avail;
    uint8_t* cur;
    std::unique_ptr<uint8_t[]> buf;  // STREAM_BUF_SIZE bytes
    int32_t ext_index;
    int32_t ind_block;
    int32_t ind_slot;
    int32_t ext_count;
    std::unique_ptr<extent[]> ind_buf;  // EXTENTS_PER_BLOCK decoded extents
    uint32_t osize;
    fs_dirent dirent;
    int32_t slot;
};

using fs_dir = fs_file;

extern fs_file stream_table[STREAM_SLOTS];

fs_file* fs_fopen(const char* path, const char* mode);
// Opens inode n as a stream: a directory walk has the number already, and a lookup by name
// for every entry would make copying a large directory take time in the square of its size.
fs_file* fs_iopen(uint32_t n);
uint32_t fs_fread(void* dst, uint32_t size, uint32_t count, fs_file* s);
int fs_fclose(fs_file* s);
int32_t fs_next_extent(uint8_t* buf, fs_file* s);

fs_dir* fs_opendir(const char* path);
fs_dirent* fs_readdir(fs_dir* d);
int fs_closedir(fs_dir* d);
