// The least a FUSE file system costs on this host, for bench/run to time beside efsh-mount: one
// host file shown as /big, each read answered by splicing its bytes from the file (no copy in
// this process), the kernel left to cache everything. Use: mount_floor file mountpoint
// (it stays in the foreground; fusermount3 -u ends it).
#define FUSE_USE_VERSION 34
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

int source = -1;
off_t source_size = 0;
constexpr double FOREVER = 365.0 * 24 * 3600;

void fill(fuse_ino_t ino, struct stat* st)
{
    std::memset(st, 0, sizeof *st);
    st->st_ino = ino;
    st->st_mode = ino == FUSE_ROOT_ID ? S_IFDIR | 0755 : S_IFREG | 0644;
    st->st_nlink = ino == FUSE_ROOT_ID ? 2 : 1;
    st->st_size = ino == FUSE_ROOT_ID ? 0 : source_size;
}

void init(void*, fuse_conn_info* conn)
{
    conn->max_readahead = 1 << 20;
    conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
    if (conn->capable & FUSE_CAP_SPLICE_WRITE)
        conn->want |= FUSE_CAP_SPLICE_WRITE;
}

void lookup(fuse_req_t req, fuse_ino_t parent, const char* name)
{
    if (parent != FUSE_ROOT_ID || std::strcmp(name, "big") != 0) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    fuse_entry_param e{};
    e.ino = 2;
    e.attr_timeout = e.entry_timeout = FOREVER;
    fill(e.ino, &e.attr);
    fuse_reply_entry(req, &e);
}

void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*)
{
    struct stat st;
    fill(ino, &st);
    fuse_reply_attr(req, &st, FOREVER);
}

void open_file(fuse_req_t req, fuse_ino_t, fuse_file_info* fi)
{
    fi->keep_cache = 1;
    fuse_reply_open(req, fi);
}

void read_file(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info*)
{
    if (offset >= source_size) {
        fuse_reply_buf(req, nullptr, 0);
        return;
    }
    if (static_cast<off_t>(size) > source_size - offset)
        size = static_cast<size_t>(source_size - offset);
    fuse_bufvec v = FUSE_BUFVEC_INIT(size);
    v.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    v.buf[0].fd = source;
    v.buf[0].pos = offset;
    fuse_reply_data(req, &v, FUSE_BUF_SPLICE_MOVE);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "use: mount_floor file mountpoint\n");
        return 1;
    }
    source = open(argv[1], O_RDONLY);
    if (source < 0) {
        std::perror(argv[1]);
        return 1;
    }
    source_size = lseek(source, 0, SEEK_END);
    fuse_lowlevel_ops ops{};
    ops.init = init;
    ops.lookup = lookup;
    ops.getattr = getattr;
    ops.open = open_file;
    ops.read = read_file;
    char prog[] = "mount_floor", opt[] = "-o", ro[] = "ro";
    char* args_v[] = {prog, opt, ro, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, args_v);
    fuse_session* se = fuse_session_new(&args, &ops, sizeof ops, nullptr);
    if (!se || fuse_session_mount(se, argv[2]) != 0)
        return 1;
    int rc = fuse_session_loop(se);
    fuse_session_unmount(se);
    fuse_session_destroy(se);
    return rc == 0 ? 0 : 1;
}
