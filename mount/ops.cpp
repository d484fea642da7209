// The requests of the kernel, answered from the current file system; every change is refused.
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <sys/statvfs.h>

#include "efs/efs_file.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
#include "mount/mount.h"
#include "mount/stat_fields.h"
#include "volume/image.h"

int host_error()
{
    switch (fs_errno) {
    case FS_ENOENT:
        return ENOENT;
    case FS_ENOTDIR:
        return ENOTDIR;
    case FS_ENAMETOOLONG:
        return ENAMETOOLONG;
    case FS_ENOMEM:
        return ENOMEM;
    case FS_EMFILE:
        return EMFILE;
    default:
        return EIO;  // anything else is damage met on the way
    }
}

int lookup_entry(uint32_t dir, const char* name, uint32_t* ino)
{
    *ino = 0;
    int err = 0;
    if (fs_isearch(dir, name, ino) != 0)
        err = host_error();
    else if (*ino == 0)
        // The first entry of the name names no inode: the listing shows the first that does.
        err = lookup_listed(dir, name, ino);
    if (err != 0) {
        *ino = 0;
        return err == ENOENT ? 0 : err;
    }
    if (!dir_shown_at(dir, name, *ino))
        *ino = 0;
    return 0;
}

namespace {

// The host's type bits for an inode's: every kind the file system holds. 0 for a type it cannot hold.
mode_t host_type(uint16_t mode)
{
    switch (mode & S_TYPE_MASK) {
    case S_TYPE_DIR:
        return S_IFDIR;
    case S_TYPE_REG:
        return S_IFREG;
    case S_TYPE_LNK:
        return S_IFLNK;
    case S_TYPE_CHR:
        return S_IFCHR;
    case S_TYPE_BLK:
        return S_IFBLK;
    case S_TYPE_FIFO:
        return S_IFIFO;
    case S_TYPE_SOCK:
        return S_IFSOCK;
    default:
        return 0;
    }
}

}  // namespace

int stat_inode(uint32_t n, struct stat* st)
{
    fs_statbuf fs_st;
    if (n == 0 || fs_istat(n, &fs_st) != 0)
        return n == 0 ? EIO : host_error();
    mode_t type = host_type(fs_st.st_mode);
    // An inode of no known kind, or with a negative size, is damaged: the host could not show it.
    if (type == 0 || fs_st.st_size < 0)
        return EIO;
    std::memset(st, 0, sizeof *st);
    st->st_ino = n;
    st->st_mode = type | (fs_st.st_mode & 07777);
    st->st_nlink = fs_st.st_nlink < 0 ? 0 : static_cast<nlink_t>(fs_st.st_nlink);
    st->st_uid = static_cast<uint16_t>(fs_st.st_uid);
    st->st_gid = static_cast<uint16_t>(fs_st.st_gid);
    st->st_size = fs_st.st_size;
    st->st_blocks = (static_cast<blkcnt_t>(fs_st.st_size) + 511) / 512;
    set_stat_times(st, fs_st.st_atime, fs_st.st_mtime, fs_st.st_ctime);
    if ((type == S_IFCHR || type == S_IFBLK) && !set_stat_device(st, fs_st.st_major, fs_st.st_minor)) {
        report_inode(n, "device " + std::to_string(fs_st.st_major) + "," + std::to_string(fs_st.st_minor) +
                            " has a number the host cannot carry");
        return EIO;
    }
    return 0;
}

namespace {

// The inode behind a request's node, or 0 after answering EIO.
uint32_t inode_or_fail(fuse_req_t req, fuse_ino_t node)
{
    uint32_t n = inode_of(node);
    if (n == 0)
        fuse_reply_err(req, EIO);
    return n;
}

// The entry of `name` in `parent` naming inode n, with its attributes; 0, or an errno value.
int entry_of(fuse_ino_t parent, const char* name, uint32_t n, fuse_entry_param* e)
{
    std::memset(e, 0, sizeof *e);
    if (int err = stat_inode(n, &e->attr); err != 0)
        return err;
    e->ino = node_for_entry(parent, name, n);
    e->attr_timeout = e->entry_timeout = CACHE_SECONDS;
    return 0;
}

bool opens_without_asking = false;

void efs_init(void*, fuse_conn_info* conn)
{
    // Listings carry the attributes of their entries: ls -l and cp -a of a directory ask for no
    // entry again. The kernel reads ahead as far as it will, and keeps link targets.
    if (conn->capable & FUSE_CAP_READDIRPLUS)
        conn->want |= FUSE_CAP_READDIRPLUS;
    conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
    if (conn->capable & FUSE_CAP_CACHE_SYMLINKS)
        conn->want |= FUSE_CAP_CACHE_SYMLINKS;
    // Every request is a round trip through the kernel, and on a busy machine a wait for the CPU:
    // reads need no open (they go by inode, and the kernel refuses to open anything for writing on
    // a read-only mount), so files are opened without asking, and their cached pages are kept.
    // For the same reason there is no handler of extended attributes (the image holds none): the
    // first request learns that they are not supported, and the kernel asks no more (cp -a, ls -l
    // and rsync would ask for every file).
    opens_without_asking = (conn->capable & FUSE_CAP_NO_OPEN_SUPPORT) != 0;
    if (opens_without_asking)
        conn->want |= FUSE_CAP_NO_OPEN_SUPPORT;
    conn->max_readahead = 1 << 20;
    // A read's reply goes through a pipe that libfuse cannot grow past the host's limit (1 MiB by
    // default), and it counts a page of room for each piece of the image besides the bytes: a
    // request of a whole MiB, which the kernel makes once its read-ahead has been raised, would
    // not fit and be read and copied here instead, some 2.5 times slower. Requests of 896 KiB
    // leave room for 30 pieces.
    conn->max_write = 896 * 1024;
    // The image cannot change under the mount: what the kernel keeps of a file needs no check
    // against its attributes at every read.
    conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
    // File data goes from the image to the kernel without a copy in this process.
    if (conn->capable & FUSE_CAP_SPLICE_WRITE)
        conn->want |= FUSE_CAP_SPLICE_WRITE;
}

void efs_lookup(fuse_req_t req, fuse_ino_t parent, const char* name)
{
    uint32_t dir = inode_or_fail(req, parent);
    if (dir == 0)
        return;
    uint32_t n = 0;
    if (int err = lookup_entry(dir, name, &n); err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    if (n == 0) {
        // Known to be absent for as long as anything else is known.
        fuse_entry_param none{};
        none.entry_timeout = CACHE_SECONDS;
        fuse_reply_entry(req, &none);
        return;
    }
    fuse_entry_param e;
    if (int err = entry_of(parent, name, n, &e); err != 0)
        fuse_reply_err(req, err);
    else
        fuse_reply_entry(req, &e);
}

void efs_forget(fuse_req_t req, fuse_ino_t node, uint64_t lookups)
{
    node_forget(node, lookups);
    fuse_reply_none(req);
}

void efs_forget_multi(fuse_req_t req, size_t count, fuse_forget_data* forgets)
{
    for (size_t i = 0; i < count; ++i)
        node_forget(forgets[i].ino, forgets[i].nlookup);
    fuse_reply_none(req);
}

void efs_getattr(fuse_req_t req, fuse_ino_t node, fuse_file_info*)
{
    uint32_t n = inode_or_fail(req, node);
    if (n == 0)
        return;
    struct stat st;
    if (int err = stat_inode(n, &st); err != 0)
        fuse_reply_err(req, err);
    else
        fuse_reply_attr(req, &st, CACHE_SECONDS);
}

// Link targets longer than this are no path any host could follow: only a damaged inode has one.
constexpr int32_t LINK_MAX_BYTES = 4095;

void efs_readlink(fuse_req_t req, fuse_ino_t node)
{
    uint32_t n = inode_or_fail(req, node);
    if (n == 0)
        return;
    struct stat st;
    if (int err = stat_inode(n, &st); err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    if (!S_ISLNK(st.st_mode)) {
        fuse_reply_err(req, EINVAL);
        return;
    }
    if (st.st_size > LINK_MAX_BYTES) {
        fuse_reply_err(req, EIO);
        return;
    }
    char target[LINK_MAX_BYTES + 1];
    int err = 0;
    int64_t got =
        read_inode_data(n, 0, static_cast<size_t>(st.st_size), reinterpret_cast<uint8_t*>(target), nullptr, &err);
    if (got != st.st_size) {
        fuse_reply_err(req, err ? err : EIO);
        return;
    }
    // A NUL would end the target the kernel sees before the image's own end.
    if (std::memchr(target, '\0', static_cast<size_t>(got))) {
        report_inode(n, "link target holds a NUL byte");
        fuse_reply_err(req, EIO);
        return;
    }
    target[got] = '\0';
    fuse_reply_readlink(req, target);
}

void efs_open(fuse_req_t req, fuse_ino_t, fuse_file_info* fi)
{
    // ENOSYS: every file opens from now on without a request, keeping the kernel's cached pages.
    if (opens_without_asking) {
        fuse_reply_err(req, ENOSYS);
        return;
    }
    if ((fi->flags & O_ACCMODE) != O_RDONLY) {
        fuse_reply_err(req, EROFS);
        return;
    }
    fi->keep_cache = 1;
    fuse_reply_open(req, fi);
}

// The reply of a read: the pieces of the image the bytes lie in, which the kernel moves from the
// image itself (splice: no copy passes through this process), or, on a host without a descriptor
// to hand over, the bytes read into one buffer. Both grow once to the largest the kernel asks for.
std::vector<image_piece> read_pieces;
std::vector<uint8_t> reply_space;

void efs_read(fuse_req_t req, fuse_ino_t node, size_t size, off_t offset, fuse_file_info*)
{
    uint32_t n = inode_or_fail(req, node);
    if (n == 0)
        return;
    if (offset < 0) {
        fuse_reply_err(req, EINVAL);
        return;
    }
    int fd = image_descriptor(fs_current()->handle);
    int err = 0;
    if (fd < 0) {
        reply_space.resize(size);
        int64_t got = read_inode_data(n, static_cast<uint64_t>(offset), size, reply_space.data(), nullptr, &err);
        if (got < 0)
            fuse_reply_err(req, err);
        else
            fuse_reply_buf(req, reinterpret_cast<const char*>(reply_space.data()), static_cast<size_t>(got));
        return;
    }
    int64_t got = read_inode_data(n, static_cast<uint64_t>(offset), size, nullptr, &read_pieces, &err);
    if (got <= 0) {
        if (got < 0)
            fuse_reply_err(req, err);
        else
            fuse_reply_buf(req, nullptr, 0);
        return;
    }
    // A fuse_bufvec with one fuse_buf per piece: the record ends in its first buffer.
    size_t count = read_pieces.size();
    reply_space.resize(sizeof(fuse_bufvec) + (count - 1) * sizeof(fuse_buf));
    auto* vec = new (reply_space.data()) fuse_bufvec{};
    vec->count = count;
    fuse_buf* bufs = vec->buf;
    for (size_t i = 0; i < count; ++i) {
        fuse_buf* b = new (bufs + i) fuse_buf{};
        b->size = read_pieces[i].length;
        b->flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
        b->fd = fd;
        b->pos = read_pieces[i].offset;
    }
    fuse_reply_data(req, vec, FUSE_BUF_SPLICE_MOVE);
}

void efs_opendir(fuse_req_t req, fuse_ino_t node, fuse_file_info* fi)
{
    uint32_t n = inode_or_fail(req, node);
    if (n == 0)
        return;
    // Nothing is held open: each request walks the directory from the position it is given.
    fs_statbuf st;
    if (fs_istat(n, &st) != 0) {
        fuse_reply_err(req, host_error());
        return;
    }
    if ((st.st_mode & S_TYPE_MASK) != S_TYPE_DIR) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    fi->fh = 0;
    fi->keep_cache = 1;
    fi->cache_readdir = 1;
    fuse_reply_open(req, fi);
}

// Fills one reply of a listing from position `offset` on: plain names, or names with attributes.
// Each entry carries the position of the next, which the kernel hands back for the next reply.
void reply_listing(fuse_req_t req, fuse_ino_t node, size_t size, off_t offset, bool plus)
{
    uint32_t n = inode_or_fail(req, node);
    if (n == 0)
        return;
    std::unique_ptr<char[]> buf(new (std::nothrow) char[size]);
    if (!buf) {
        fuse_reply_err(req, ENOMEM);
        return;
    }
    listing_walk w;
    if (int err = listing_start(&w, n, static_cast<uint64_t>(offset < 0 ? 0 : offset)); err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    size_t used = 0;
    listing_entry le;
    while (listing_next(&w, &le)) {
        const char* name = le.name;
        auto next = static_cast<off_t>(le.next);
        size_t room = size - used;
        size_t len = 0;
        bool dots = std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
        bool sound = le.stat_err == 0;
        if (!plus) {
            struct stat st {};
            if (sound)
                st = le.st;
            st.st_ino = le.ino;
            len = fuse_add_direntry(req, buf.get() + used, room, name, &st, next);
        } else if (dots) {
            // The kernel links no entry for "." and ".."; they carry only their inode numbers.
            fuse_entry_param e{};
            e.attr.st_ino = le.ino;
            e.attr.st_mode = S_IFDIR;
            len = fuse_add_direntry_plus(req, buf.get() + used, room, name, &e, next);
        } else {
            // An entry whose inode is damaged is listed with its number alone; asking for it fails.
            fuse_entry_param e{};
            if (sound) {
                e.attr = le.st;
                e.attr_timeout = e.entry_timeout = CACHE_SECONDS;
            } else {
                e.attr.st_ino = le.ino;
            }
            // The size an entry takes does not depend on the node, so it is counted before any
            // alias is made for it.
            if (fuse_add_direntry_plus(req, nullptr, 0, name, nullptr, 0) > room)
                break;
            if (sound)
                e.ino = node_for_entry(node, name, le.ino);
            len = fuse_add_direntry_plus(req, buf.get() + used, room, name, &e, next);
        }
        if (len > room)
            break;
        used += len;
        listing_keep(&w, le);
    }
    if (listing_end(&w) && used == 0)
        fuse_reply_err(req, EIO);
    else
        fuse_reply_buf(req, buf.get(), used);
}

void efs_readdir(fuse_req_t req, fuse_ino_t node, size_t size, off_t offset, fuse_file_info*)
{
    reply_listing(req, node, size, offset, false);
}

void efs_readdirplus(fuse_req_t req, fuse_ino_t node, size_t size, off_t offset, fuse_file_info*)
{
    reply_listing(req, node, size, offset, true);
}

void efs_releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info*)
{
    fuse_reply_err(req, 0);
}
void efs_statfs(fuse_req_t req, fuse_ino_t)
{
    const superblock* sb = fs_current()->superblock;
    struct statvfs sv {};
    sv.f_bsize = sv.f_frsize = 512;
    sv.f_blocks = static_cast<fsblkcnt_t>(sb->sb_size);
    sv.f_bfree = static_cast<fsblkcnt_t>(sb->sb_free_blocks < 0 ? 0 : sb->sb_free_blocks);
    sv.f_bavail = 0;  // nothing can be written
    sv.f_files = static_cast<fsfilcnt_t>(sb->sb_cg_count) * static_cast<fsfilcnt_t>(sb->sb_cg_inode_blocks) * 4;
    sv.f_ffree = static_cast<fsfilcnt_t>(sb->sb_free_inodes < 0 ? 0 : sb->sb_free_inodes);
    sv.f_favail = 0;
    sv.f_namemax = 255;
    sv.f_flag = ST_RDONLY;
    fuse_reply_statfs(req, &sv);
}

// Every request that would change something.
void refuse(fuse_req_t req)
{
    fuse_reply_err(req, EROFS);
}

fuse_lowlevel_ops make_ops()
{
    fuse_lowlevel_ops ops{};
    ops.init = efs_init;
    ops.lookup = efs_lookup;
    ops.forget = efs_forget;
    ops.forget_multi = efs_forget_multi;
    ops.getattr = efs_getattr;
    ops.readlink = efs_readlink;
    ops.open = efs_open;
    ops.read = efs_read;
    ops.opendir = efs_opendir;
    ops.readdir = efs_readdir;
    ops.readdirplus = efs_readdirplus;
    ops.releasedir = efs_releasedir;
    ops.statfs = efs_statfs;
    ops.setattr = [](fuse_req_t req, fuse_ino_t, struct stat*, int, fuse_file_info*) { refuse(req); };
    ops.mknod = [](fuse_req_t req, fuse_ino_t, const char*, mode_t, dev_t) { refuse(req); };
    ops.mkdir = [](fuse_req_t req, fuse_ino_t, const char*, mode_t) { refuse(req); };
    ops.unlink = [](fuse_req_t req, fuse_ino_t, const char*) { refuse(req); };
    ops.rmdir = [](fuse_req_t req, fuse_ino_t, const char*) { refuse(req); };
    ops.symlink = [](fuse_req_t req, const char*, fuse_ino_t, const char*) { refuse(req); };
    ops.rename = [](fuse_req_t req, fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned) { refuse(req); };
    ops.link = [](fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) { refuse(req); };
    ops.write = [](fuse_req_t req, fuse_ino_t, const char*, size_t, off_t, fuse_file_info*) { refuse(req); };
    ops.create = [](fuse_req_t req, fuse_ino_t, const char*, mode_t, fuse_file_info*) { refuse(req); };
    ops.setxattr = [](fuse_req_t req, fuse_ino_t, const char*, const char*, size_t, int) { refuse(req); };
    ops.removexattr = [](fuse_req_t req, fuse_ino_t, const char*) { refuse(req); };
    ops.fallocate = [](fuse_req_t req, fuse_ino_t, int, off_t, off_t, fuse_file_info*) { refuse(req); };
    return ops;
}

}  // namespace

const fuse_lowlevel_ops efs_ops = make_ops();
