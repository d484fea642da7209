// The cp command: single files and whole trees copied out of the image onto the host.
#include <cerrno>
#include <cstring>
#include <algorithm>
#include <deque>
#include <unordered_set>

#include "efs/efs_file.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
#include "shell/getopt.h"
#include "shell/shell.h"

namespace {

// Inodes of the directories this copy has entered: an entry leading to one of them again (only a
// damaged image names a directory twice) is not descended into. Remembering the whole copy, not
// just the directories above, stops cycles and also chains of directories that each name the
// next several times, whose paths multiply at every level and would never finish copying.
std::unordered_set<uint32_t> entered;

bool entered_before(uint32_t ino)
{
    return entered.count(ino) != 0;
}

// What this copy has written into the host directories it is filling, with the image inode each
// came from: one record of 16 bytes per entry, for the directory being filled and those above it
// only, so that memory follows the largest directory, not the tree. A host that takes two names of
// the image for one object (a file system that ignores case, or a host link in the target) would
// have the second entry overwrite the copy of another inode: it is not copied instead. The same
// inode again (a damaged directory naming a file twice) is copied again as ever, and a run of
// cp -r over an earlier copy overwrites: only this run counts.
struct written_entry {
    uint64_t object;
    uint32_t volume;  // folded to 32 bits: two volumes would also need equal object numbers
    uint32_t ino;
};
std::deque<written_entry> written;
size_t level_start = 0;  // the innermost directory's records start here,
size_t level_sorted = 0; // and up to here are in order; the rest were added since

written_entry record_of(const host_id& id, uint32_t ino)
{
    return {id.object, static_cast<uint32_t>(id.volume ^ (id.volume >> 32)), ino};
}

bool before(const written_entry& a, const written_entry& b)
{
    return a.object != b.object ? a.object < b.object : a.volume < b.volume;
}

void start_tree_copy()
{
    entered.clear();
    written.clear();
    level_start = level_sorted = 0;
}

// A fresh copy asks only when a name is taken, which is rare; a run over an earlier copy asks for
// every entry, and the records are put in order once enough of them have come since the last time.
bool written_from_another(const char* host, uint32_t ino)
{
    host_id id;
    if (!host_id_of(host, &id))
        return false;
    if (written.size() - level_sorted > 256) {
        std::sort(written.begin() + static_cast<ptrdiff_t>(level_sorted), written.end(), before);
        std::inplace_merge(written.begin() + static_cast<ptrdiff_t>(level_start),
                           written.begin() + static_cast<ptrdiff_t>(level_sorted), written.end(), before);
        level_sorted = written.size();
    }
    written_entry key = record_of(id, ino);
    auto first = written.begin() + static_cast<ptrdiff_t>(level_start);
    auto mid = written.begin() + static_cast<ptrdiff_t>(level_sorted);
    auto it = std::lower_bound(first, mid, key, before);
    if (it == mid || before(key, *it))
        it = std::find_if(mid, written.end(), [&](const written_entry& e) { return !before(e, key) && !before(key, e); });
    return it != written.end() && it->ino != ino;
}

// The host file for a file of a tree copy. A name not yet taken costs one call, which is what a
// large tree is made of; a taken one is a copy to overwrite, unless this copy wrote it from another
// inode (null, *taken set, nothing touched).
host_out* create_in_tree(const char* target, uint32_t ino, bool* taken)
{
    host_out* out = host_create(target, HOST_IN_TREE | HOST_ONLY_NEW);
    if (!out && errno == EEXIST) {
        if (written_from_another(target, ino)) {
            *taken = true;
            return nullptr;
        }
        out = host_create(target, HOST_IN_TREE);
    }
    host_id id;
    if (out && host_out_id(out, &id))
        written.push_back(record_of(id, ino));
    return out;
}

// The host name a cp -r source is copied under: its last component. An empty text for the root,
// "." or "..", whose entries go straight into the target directory; null when the component is
// no valid host name, so that nothing of it is copied.
const char* host_name_of(const char* source)
{
    const char* end = source + std::strlen(source);
    while (end > source && end[-1] == '/')
        --end;
    const char* start = end;
    while (start > source && start[-1] != '/')
        --start;
    static char name[256];
    size_t len = static_cast<size_t>(end - start);
    if (len >= sizeof name)
        return nullptr;
    std::memcpy(name, start, len);
    name[len] = '\0';
    if (len == 0 || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return "";
    return host_name_ok(name) ? name : nullptr;
}

// Makes the host directory (or reuses one left by an earlier copy) and enters it. A directory
// that cannot be had is named with the host's reason, so that no subtree goes missing unseen.
bool enter_host_dir(const char* host)
{
    int made = host_mkdir(host);
    int mkdir_errno = errno;
    if (host_chdir(host) == 0)
        return true;
    // When mkdir failed for a reason other than an existing entry, chdir can only add that the
    // directory is missing; mkdir's reason (no write permission, a full disk) is the one to tell.
    if (made != 0 && mkdir_errno != EEXIST)
        errno = mkdir_errno;
    std::perror(host);
    return false;
}

// Copies the image directory `name` into host directory `host` (null: the current host directory,
// which is the target of the copy and keeps its own mode and times).
int copy_tree(const char* name, const char* host, const char* target, int flags)
{
    if (flags & CP_VERBOSE)
        std::fprintf(stderr, "copy_dir %s %s\n", name, target);
    char saved[PATH_BUF];
    fs_getcwd(saved);
    if (fs_chdir(name) != 0) {
        fs_perror(name);
        return 2;
    }
    const fs* f = fs_current();
    uint32_t self = f ? static_cast<uint32_t>(f->cwd_inode) : 0;
    fs_statbuf self_st;
    bool carry = false;
    if (host && (flags & CP_PERM)) {
        carry = fs_istat(self, &self_st) == 0;
        if (!carry)
            fs_perror(name);
    }
    // The way back is kept before going in: ".." of a host directory reached through a symbolic
    // link is not the directory the copy came from, and the entries after it would land there.
    host_place* back = nullptr;
    if (host) {
        back = host_here();
        if (!back) {
            std::perror(host);
            fs_chdir(saved);
            return 5;
        }
        if (!enter_host_dir(host)) {
            (void)host_go_back(back);  // still where it was: nothing to undo
            fs_chdir(saved);
            return 5;
        }
    }
    int result = 0;
    // This directory's records go on top of those of the directories above and go when it is left.
    size_t parent_start = level_start, parent_sorted = level_sorted;
    level_start = level_sorted = written.size();
    fs_dir* d = fs_opendir(".");
    if (!d) {
        std::fprintf(stderr, "opendir %s\n", name);
        fs_perror(name);
        result = 1;
    } else {
        entered.insert(self);
        while (fs_dirent* e = fs_readdir(d)) {
            fs_statbuf st;
            if (fs_istat(e->d_ino, &st) != 0) {
                fs_perror(e->d_name);
                continue;
            }
            uint16_t type = st.st_mode & S_TYPE_MASK;
            bool dot = std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0;
            if (type == S_TYPE_DIR && dot)
                continue;
            bool copyable = (type == S_TYPE_DIR && !entered_before(e->d_ino)) || type == S_TYPE_REG;
            // Short-circuit: a name that is no host name is never looked up on the host.
            bool ok = copyable && host_name_ok(e->d_name) && e->d_namlen == std::strlen(e->d_name) &&
                      !(type == S_TYPE_DIR && written_from_another(e->d_name, e->d_ino));
            int r = ok ? 0 : NAME_TAKEN;
            if (ok && type == S_TYPE_DIR) {
                r = copy_tree(e->d_name, e->d_name, ".", flags);
                host_id id;
                if (host_id_of(e->d_name, &id))
                    written.push_back(record_of(id, e->d_ino));
            } else if (ok) {
                r = copy_file(e->d_name, e->d_name, flags, e->d_ino);
            }
            if (r == NAME_TAKEN)
                std::fprintf(stderr, "%s/%s/%s not copied\n", saved, name, e->d_name);
            else
                result = r;
        }
    }
    written.resize(level_start);
    level_start = parent_start;
    level_sorted = parent_sorted;
    bool left = true;
    if (back && host_go_back(back) != 0) {
        std::perror("..");
        left = false;
    }
    // Mode and times go on last, once the directory is full: a read-only directory of the image
    // can still be filled, and filling it does not overwrite the modification time just set.
    if (carry && left)
        (void)copy_perm(host, self_st);
    if (d)
        fs_closedir(d);
    fs_chdir(saved);
    return result;
}

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
constexpr size_t IN_HOST_RUN = 1024 * 1024;

// Files at least this long have their space set aside before the copy (where the host does that
// without writing it). The size comes from the image and may claim more than the extents hold:
// what the copy does not fill is given back when the file is closed.
constexpr size_t RESERVE_FROM = 1024 * 1024;

// Writes what has gathered: all of it, or (all false) as much as ends on a multiple of WRITE_ALIGN.
void write_gathered(host_out* out, size_t* fill, bool* write_failed, bool all = true)
{
    size_t n = all ? *fill : *fill & ~(WRITE_ALIGN - 1);
    if (n != 0 && !*write_failed && host_write(out, gathered, n) != n) {
        std::perror("fwrite");
        *write_failed = true;
    }
    std::memmove(gathered, gathered + n, *fill - n);
    *fill -= n;
}

// Every byte of the stream into the host file. Extents that lie back to back in the image for a
// megabyte or more are shared with the file where the host can (no byte copied); everything else
// is read and gathered. After a failed write (reported; the result is false) the file is still
// read to its end, so that a later read error is reported.
bool move_bytes(fs_file* s, host_out* out)
{
    bool write_failed = false;
    size_t fill = 0;
    fs_run r;
    while (fs_next_run(s, &r)) {
        fs_run whole = r;
        fs_join_run(s, &whole);
        // A run that cannot be shared where it would land leaves what has gathered in place, so the
        // writes stay large; one that can sends it first.
        if (!write_failed && whole.bytes >= IN_HOST_RUN && host_can_share(out, whole.offset, whole.bytes, fill)) {
            write_gathered(out, &fill, &write_failed);
            if (!write_failed && fs_copy_run(s, &whole, out))
                continue;
        }
        if (!fs_read_run(s, &r, gathered + fill))
            break;
        fill += r.bytes;
        if (fill >= WRITE_PIECE)
            write_gathered(out, &fill, &write_failed, false);
    }
    write_gathered(out, &fill, &write_failed);
    return !write_failed;
}

}  // namespace

void cp_usage()
{
    std::fprintf(stderr, "Use: cp [-rpv] fs-file unix-file\n");
}

int copy_perm(const char* target, const fs_statbuf& st)
{
    // Only the permission bits: set-user-ID, set-group-ID and sticky bits from an untrusted image
    // are never handed to the host, nor the owner and group.
    bool failed = host_set_mode(target, st.st_mode & 0777u) != 0;
    int reason = errno;
    if (host_set_times(target, st.st_atime, st.st_mtime) != 0 && !failed) {
        failed = true;
        reason = errno;
    }
    if (!failed)
        return 0;
    errno = reason;  // one line per copy, with the first reason
    std::perror(target);
    return -1;
}

int copy_file(const char* source, const char* target, int flags, uint32_t ino)
{
    if (flags & CP_VERBOSE)
        std::fprintf(stderr, "copy_file %s %s\n", source, target);
    // The image file is opened first, so a source that cannot be read never truncates a host file.
    fs_file* s = ino != 0 ? fs_iopen(ino) : fs_fopen(source, "rb");
    if (!s) {
        fs_perror("fs_fopen");
        return 1;
    }
    bool taken = false;
    host_out* out = ino != 0 ? create_in_tree(target, ino, &taken) : host_create(target, HOST_NAMED);
    if (!out) {
        if (!taken)
            std::perror("fopen");
        fs_fclose(s);
        return taken ? NAME_TAKEN : 1;
    }
    // cp -p takes the mode and times from the stream's own copy of the inode: no second read.
    fs_statbuf st;
    fs_stat_of(*s->inode, ino, &st);
    if (st.st_size >= static_cast<int64_t>(RESERVE_FROM))
        host_reserve(out, static_cast<uint64_t>(st.st_size));
    bool write_failed = !move_bytes(s, out);
    report_early_end(s);
    fs_fclose(s);
    if (host_close_out(out) != 0 && !write_failed)
        std::perror("fclose");
    if (flags & CP_PERM)
        (void)copy_perm(target, st);
    return 0;
}

int copy_dir(const char* name, const char* target, int flags)
{
    start_tree_copy();
    return copy_tree(name, name, target, flags);
}

int do_cp(int argc, char** argv)
{
    efsh::getopt_reset();
    int flags = 0;
    int c;
    while ((c = efsh::getopt(argc, argv, "rpv")) != -1) {
        switch (c) {
        case 'r': flags |= CP_RECURSIVE; break;
        case 'p': flags |= CP_PERM; break;
        case 'v': flags |= CP_VERBOSE; break;
        default:
            cp_usage();
            return 1;
        }
    }
    if (argc - efsh::optind != 2) {
        std::fprintf(stderr, "%d:%d\n", efsh::optind, argc);
        cp_usage();
        return 2;
    }
    const char* source = argv[efsh::optind];
    const char* target = argv[efsh::optind + 1];
    fs_statbuf st;
    if (fs_stat(source, &st) != 0) {
        fs_perror(source);
        return 3;
    }
    if (!(flags & CP_RECURSIVE))
        return copy_file(source, target, flags);

    int kind = host_path_kind(target);
    bool exists = kind >= 0;
    bool is_dir = (st.st_mode & S_TYPE_MASK) == S_TYPE_DIR;
    if (is_dir && !exists) {
        std::fprintf(stderr, "%s: directory, target %s does not exist\n", source, target);
        return 3;
    }
    if (is_dir && kind != 1) {
        std::fprintf(stderr, "%s: directory, target %s not directory\n", source, target);
        return 4;
    }
    if (!is_dir && !exists) {
        std::fprintf(stderr, "-r makes no sense here\n");
        return 0;
    }
    if (!is_dir && kind != 1) {
        std::fprintf(stderr, "target %s exists\n", target);
        return 6;
    }
    char home[PATH_BUF];
    if (!host_getcwd(home, sizeof home)) {
        std::perror("getcwd");
        return 5;
    }
    if (host_chdir(target) != 0)
        return 5;
    const char* host = host_name_of(source);
    if (!host || (!is_dir && !*host)) {
        std::fprintf(stderr, "%s not copied\n", source);
    } else if (is_dir) {
        start_tree_copy();
        (void)copy_tree(source, *host ? host : nullptr, ".", flags);
    } else {
        (void)copy_file(source, host, flags);
    }
    if (host_chdir(home) != 0)
        std::perror(home);
    if (!is_dir)
        std::fprintf(stderr, "-r makes no sense here\n");
    return 0;
}
