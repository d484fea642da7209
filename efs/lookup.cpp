// Directory search, path lookup and the current directory of the current file system.
#include <cstring>
#include <memory>
#include <new>

#include "common/byteorder.h"
#include "common/tokens.h"
#include "efs/efs_io.h"
#include "efs/fs_error.h"

namespace {

enum search_result { FOUND, NOT_FOUND, FAILED };

// Searches one extent's data; `written` tracks the bytes of the directory read so far.
search_result search_extent(fs* f, const extent& ex, uint8_t* big, uint32_t* written, const char* name, uint32_t* ino)
{
    int32_t n = fs_read_extent(f, &ex, big, size_t{LOOKUP_BLOCKS} * 512);
    if (n < 0)
        return FAILED;
    if (*written != ex.ex_offset * 512u) {
        fs_errno = FS_EREAD;  // the extents are out of order or leave a gap: the directory is damaged
        return FAILED;
    }
    *written += static_cast<uint32_t>(n);
    int bad = fs_dir_search(big, static_cast<size_t>(n), name, ino);
    if (*ino != 0)
        return FOUND;
    return bad ? FAILED : NOT_FOUND;
}

// FAILED leaves fs_errno saying what was damaged; NOT_FOUND means every block of the extents was
// read and sound, and *written says how many bytes they hold.
search_result search_dir(fs* f, const disk_inode& d, uint8_t* big, const char* name, uint32_t* ino, uint32_t* written)
{
    *written = 0;
    int count = d.di_extent_count;
    if (count <= 0)
        return NOT_FOUND;
    if (count <= DIRECT_EXTENTS) {
        for (int i = 0; i < count; ++i) {
            search_result r = search_extent(f, d.di_extents[i], big, written, name, ino);
            if (r != NOT_FOUND)
                return r;
        }
        return NOT_FOUND;
    }
    int nind = fs_indirect_count(&d);
    if (nind <= 0) {
        fs_errno = FS_EREAD;
        return FAILED;
    }
    extent ind_buf[EXTENTS_PER_BLOCK];
    int taken = 0;
    for (int e = 0; e < nind; ++e) {
        const extent& ind = d.di_extents[e];
        for (int b = 0; b < ind.ex_length; ++b) {
            if (!fs_read_extent_block(f, int64_t{ind.ex_block} + b, ind_buf))
                return FAILED;
            for (int k = 0; k < EXTENTS_PER_BLOCK && taken < count; ++k, ++taken) {
                search_result r = search_extent(f, ind_buf[k], big, written, name, ino);
                if (r != NOT_FOUND)
                    return r;
            }
            if (taken == count)
                return NOT_FOUND;
        }
    }
    return NOT_FOUND;
}

// The inode of directory d, read through big; false with fs_errno set when it cannot be read or
// is no directory.
bool read_dir_inode(fs* f, uint32_t d, uint8_t* big, disk_inode* dir)
{
    if (fs_iread(f, d, big, dir) != 0)
        return false;
    if ((dir->di_mode & S_TYPE_MASK) != S_TYPE_DIR) {
        fs_errno = FS_ENOTDIR;
        return false;
    }
    return true;
}

}  // namespace

uint32_t fs_namei(const char* path)
{
    fs* f = fs_current();
    if (!f)
        return 0;
    size_t len = strnlen(path, PATH_BUF);
    if (len >= PATH_BUF) {
        fs_errno = FS_ENAMETOOLONG;
        return 0;
    }
    char copy[PATH_BUF];
    std::memcpy(copy, path, len + 1);
    std::unique_ptr<uint8_t[]> big(new (std::nothrow) uint8_t[size_t{LOOKUP_BLOCKS} * 512]);
    if (!big) {
        fs_errno = FS_ENOMEM;
        return 0;
    }
    uint32_t d = copy[0] == '/' ? ROOT_INODE : static_cast<uint32_t>(f->cwd_inode);
    char* save = nullptr;
    for (char* comp = next_token(copy, "/", &save); comp; comp = next_token(nullptr, "/", &save)) {
        disk_inode ino;
        if (!read_dir_inode(f, d, big.get(), &ino))
            return 0;
        uint32_t next = 0, written = 0;
        if (std::strlen(comp) > 255 || search_dir(f, ino, big.get(), comp, &next, &written) != FOUND) {
            fs_errno = FS_ENOENT;
            return 0;
        }
        d = next;
    }
    return d;
}

uint32_t fs_inode_count(const fs* f)
{
    const superblock* sb = f->superblock;
    uint64_t n = uint64_t{static_cast<uint16_t>(sb->sb_cg_count)} * 4u * static_cast<uint16_t>(sb->sb_cg_inode_blocks);
    return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
}

bool fs_is_file_type(uint16_t mode)
{
    switch (mode & S_TYPE_MASK) {
    case S_TYPE_DIR: case S_TYPE_REG: case S_TYPE_LNK: case S_TYPE_CHR: case S_TYPE_BLK: case S_TYPE_FIFO: case S_TYPE_SOCK:
        return true;
    default:
        return false;
    }
}

bool fs_is_inode_word(const char* word)
{
    size_t len = std::strlen(word);
    return len >= 3 && word[0] == '<' && word[len - 1] == '>' && std::strspn(word + 1, "0123456789") == len - 2;
}

uint32_t fs_word_inode(const char* word)
{
    fs* f = fs_current();
    if (!f)
        return 0;
    if (!fs_is_inode_word(word))
        return fs_namei(word);
    size_t len = std::strlen(word);
    uint64_t n = 0;
    for (size_t i = 1; i + 1 < len && n <= UINT32_MAX; ++i)
        n = n * 10 + static_cast<unsigned>(word[i] - '0');
    fs_statbuf st;
    if (n == 0 || n >= fs_inode_count(f)) {
        fs_errno = FS_ENOENT;
        return 0;
    }
    if (fs_istat(static_cast<uint32_t>(n), &st) != 0)
        return 0;
    if (!fs_is_file_type(st.st_mode)) {
        fs_errno = FS_ENOENT;
        return 0;
    }
    return static_cast<uint32_t>(n);
}

int fs_ilookup(uint32_t dir, const char* name, uint32_t* ino)
{
    *ino = 0;
    fs* f = fs_current();
    if (!f)
        return -1;
    std::unique_ptr<uint8_t[]> big(new (std::nothrow) uint8_t[size_t{LOOKUP_BLOCKS} * 512]);
    if (!big) {
        fs_errno = FS_ENOMEM;
        return -1;
    }
    disk_inode d;
    if (!read_dir_inode(f, dir, big.get(), &d))
        return -1;
    if (std::strlen(name) > 255) {
        fs_errno = FS_ENOENT;
        return -1;
    }
    uint32_t written = 0;
    search_result r = search_dir(f, d, big.get(), name, ino, &written);
    // Extents that end before the size leave blocks unread: the name may be in one of them.
    if (r == NOT_FOUND && d.di_size > 0 && written < static_cast<uint32_t>(d.di_size)) {
        fs_errno = FS_EREAD;
        r = FAILED;
    }
    if (r == NOT_FOUND)
        fs_errno = FS_ENOENT;
    return r == FOUND ? 0 : -1;
}

int fs_stat(const char* path, fs_statbuf* st)
{
    uint32_t n = fs_namei(path);
    if (n == 0)
        return -1;
    return fs_istat(n, st);
}

bool fs_is_dir_inode(uint32_t n)
{
    fs_statbuf st;
    if (fs_istat(n, &st) != 0)
        return false;
    if ((st.st_mode & S_TYPE_MASK) != S_TYPE_DIR) {
        fs_errno = FS_ENOTDIR;
        return false;
    }
    return true;
}

int fs_chdir(const char* path)
{
    fs* f = fs_current();
    if (!f)
        return -1;
    uint32_t n = fs_namei(path);
    if (n == 0)
        return -1;
    if (!fs_is_dir_inode(n))
        return -1;
    char text[PATH_BUF] = {0};
    size_t tlen = 0;
    if (path[0] != '/' && std::strcmp(f->cwd_path, "/") != 0) {
        tlen = strnlen(f->cwd_path, PATH_BUF - 1);
        std::memcpy(text, f->cwd_path, tlen);
        text[tlen] = '\0';
    }
    long room = PATH_BUF - static_cast<long>(tlen);
    char copy[PATH_BUF];
    std::memcpy(copy, path, strnlen(path, PATH_BUF - 1));
    copy[strnlen(path, PATH_BUF - 1)] = '\0';
    char* save = nullptr;
    for (char* comp = next_token(copy, "/", &save); comp; comp = next_token(nullptr, "/", &save)) {
        if (std::strcmp(comp, ".") == 0)
            continue;
        if (std::strcmp(comp, "..") == 0) {
            char* slash = std::strrchr(text, '/');
            if (slash) {
                *slash = '\0';
                tlen = static_cast<size_t>(slash - text);
            }
            room = PATH_BUF - static_cast<long>(tlen);
            continue;
        }
        size_t clen = std::strlen(comp);
        room -= static_cast<long>(clen) + 1;
        if (room <= 0) {
            fs_errno = FS_ENAMETOOLONG;
            return -1;
        }
        text[tlen] = '/';
        std::memcpy(text + tlen + 1, comp, clen + 1);
        tlen += clen + 1;
    }
    if (tlen == 0) {
        std::memset(f->cwd_path, 0, PATH_BUF);
        f->cwd_path[0] = '/';
    } else {
        std::memset(f->cwd_path, 0, PATH_BUF);
        std::memcpy(f->cwd_path, text, tlen);
    }
    f->cwd_inode = static_cast<int32_t>(n);
    return 0;
}

int fs_ichdir(uint32_t n, const char* name)
{
    fs* f = fs_current();
    if (!f)
        return -1;
    if (!fs_is_dir_inode(n))
        return -1;
    size_t tlen = std::strcmp(f->cwd_path, "/") == 0 ? 0 : strnlen(f->cwd_path, PATH_BUF - 1);
    size_t clen = std::strlen(name);
    if (tlen + clen + 1 >= size_t{PATH_BUF}) {
        fs_errno = FS_ENAMETOOLONG;
        return -1;
    }
    f->cwd_path[tlen] = '/';
    std::memcpy(f->cwd_path + tlen + 1, name, clen + 1);
    f->cwd_inode = static_cast<int32_t>(n);
    return 0;
}

void fs_setcwd(const char* path, uint32_t n)
{
    fs* f = fs_current();
    if (!f)
        return;
    size_t len = strnlen(path, PATH_BUF - 1);
    std::memset(f->cwd_path, 0, PATH_BUF);
    std::memcpy(f->cwd_path, path, len);
    f->cwd_inode = static_cast<int32_t>(n);
}

char* fs_getcwd(char* buf)
{
    fs* f = fs_current();
    if (!f) {
        std::memcpy(buf, "No current fs", sizeof "No current fs");
        return nullptr;
    }
    std::strncpy(buf, f->cwd_path, PATH_BUF);
    return buf;
}
