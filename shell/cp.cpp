// The cp command: single files and whole trees copied out of the image onto the host.
#include <cerrno>
#include <cstring>
#include <algorithm>
#include <deque>
#include <vector>
#include <unordered_set>

#include "common/report.h"
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
// only, so that memory follows the largest directory and the depth, not the tree. A host that takes
// two names of the image for one object (a file system that ignores case, or a host hard link in
// the target leading to a file this copy wrote in a directory above) would have the second entry
// overwrite the copy of another inode: it is not copied instead. The same inode again (a damaged
// directory naming a file twice) is copied again as ever, and a run of cp -r over an earlier copy
// overwrites: only this run counts.
struct written_entry {
    uint64_t object;
    uint32_t volume;  // folded to 32 bits: two volumes would also need equal object numbers
    uint32_t ino;
};
std::deque<written_entry> written;
// Where each directory's records start, outermost first. The directories above the innermost are
// in order (put so when a directory is entered); the innermost is in order up to `level_sorted`.
std::vector<size_t> level_starts;
size_t level_sorted = 0;

written_entry record_of(const host_id& id, uint32_t ino)
{
    return {id.object, static_cast<uint32_t>(id.volume ^ (id.volume >> 32)), ino};
}

bool before(const written_entry& a, const written_entry& b)
{
    return a.object != b.object ? a.object < b.object : a.volume < b.volume;
}

size_t level_start()
{
    return level_starts.empty() ? 0 : level_starts.back();
}

void sort_innermost()
{
    auto first = written.begin() + static_cast<ptrdiff_t>(level_start());
    auto mid = written.begin() + static_cast<ptrdiff_t>(level_sorted);
    std::sort(mid, written.end(), before);
    std::inplace_merge(first, mid, written.end(), before);
    level_sorted = written.size();
}

void start_tree_copy()
{
    entered.clear();
    written.clear();
    level_starts.clear();
    level_sorted = 0;
}

// A directory is entered: the records so far are in order for the lookups from below, and the new
// directory's begin on top of them.
void enter_level()
{
    sort_innermost();
    level_starts.push_back(written.size());
}

// A directory is left: its records go, and those of the one it is in are all in order.
void leave_level()
{
    written.resize(level_start());
    level_starts.pop_back();
    level_sorted = written.size();
}

// A fresh copy asks only when a name is taken, which is rare; a run over an earlier copy asks for
// every entry, and the innermost records are put in order once enough of them have come.
bool written_from_another(const char* host, uint32_t ino)
{
    host_id id;
    if (!host_id_of(host, &id))
        return false;
    if (written.size() - level_sorted > 256)
        sort_innermost();
    written_entry key = record_of(id, ino);
    auto same = [&](const written_entry& e) { return !before(e, key) && !before(key, e); };
    auto found = [&](auto first, auto last) {
        auto it = std::lower_bound(first, last, key, before);
        return it != last && same(*it) ? it : written.end();
    };
    auto mid = written.begin() + static_cast<ptrdiff_t>(level_sorted);
    auto it = std::find_if(mid, written.end(), same);
    if (it == written.end())
        it = found(written.begin() + static_cast<ptrdiff_t>(level_start()), mid);
    for (size_t i = level_starts.size(); it == written.end() && i-- > 0;) {
        size_t from = i == 0 ? 0 : level_starts[i - 1];
        it = found(written.begin() + static_cast<ptrdiff_t>(from), written.begin() + static_cast<ptrdiff_t>(level_starts[i]));
    }
    return it != written.end() && it->ino != ino;
}

// The host file for a file of a tree copy. A name not yet taken costs one call, which is what a
// large tree is made of; a taken one is a copy to overwrite, unless this copy wrote it from another
// inode or it is no regular file (a link, pipe or device: null, *taken set, nothing touched).
host_out* create_in_tree(const char* target, uint32_t ino, bool* taken, host_refusal* why)
{
    host_out* out = host_create(target, HOST_IN_TREE | HOST_ONLY_NEW, why);
    if (!out && *why == HOST_ERRNO && errno == EEXIST) {
        if (written_from_another(target, ino)) {
            *taken = true;
            return nullptr;
        }
        out = host_create(target, HOST_IN_TREE, why);
    }
    if (!out && *why == HOST_NOT_A_FILE)
        *taken = true;
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

// Makes the host directory (or reuses one left by an earlier copy) and enters it, only when it is
// a real directory: 0 (*id its id), NAME_TAKEN when a link or anything else is there, 5 when it
// cannot be had, named with the host's reason so that no subtree goes missing unseen.
int enter_host_dir(const char* host, host_id* id)
{
    int rc = host_enter_dir(host, id);
    if (rc < 0)
        report_errno(host);
    return rc == 0 ? 0 : rc > 0 ? NAME_TAKEN : 5;
}

// Copies the image directory `name` into host directory `host` (null: the current host directory,
// which is the target of the copy and keeps its own mode and times).
// *id (may be null): the host directory's id.
int copy_tree(const char* name, const char* host, const char* target, int flags, host_id* id = nullptr)
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
    // link (the target the user named may be one) is not the directory the copy came from.
    host_place* back = nullptr;
    host_id here{};
    if (host) {
        back = host_here();
        if (!back) {
            report_errno(host);
            fs_chdir(saved);
            return 5;
        }
        if (int rc = enter_host_dir(host, &here); rc != 0) {
            (void)host_go_back(back);  // still where it was: nothing to undo
            fs_chdir(saved);
            return rc;
        }
    }
    int result = 0;
    // This directory's records go on top of those of the directories above and go when it is left.
    enter_level();
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
                host_id id;
                r = copy_tree(e->d_name, e->d_name, ".", flags, &id);
                if (r != NAME_TAKEN && r != 5)
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
    leave_level();
    bool left = true;
    if (back && host_go_back(back) != 0) {
        report_errno("..");
        left = false;
    }
    // Mode and times go on last, once the directory is full: a read-only directory of the image
    // can still be filled, and filling it does not overwrite the modification time just set. They
    // go onto the directory the copy filled, never onto what a link there would lead to.
    if (carry && left && host_set_dir_perm(host, here, self_st.st_mode, self_st.st_atime, self_st.st_mtime) != 0)
        report_errno(host);
    if (id)
        *id = here;
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
        report_errno("fwrite");
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
    host_refusal why = HOST_ERRNO;
    host_out* out = ino != 0 ? create_in_tree(target, ino, &taken, &why) : host_create(target, HOST_NAMED, &why);
    if (!out) {
        if (why == HOST_IS_IMAGE) {
            std::fprintf(stderr, "%s: the image being read is never written\n", target);
            errno = 0;  // said in full: the prompt adds no reason of its own
        } else if (!taken) {
            report_errno("fopen");
        }
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
    // Only the permission bits: set-user-ID, set-group-ID and sticky bits from an untrusted image
    // are never handed to the host, nor the owner and group. They go onto the file the copy
    // opened, whatever its name leads to by now.
    if ((flags & CP_PERM) && host_out_set_perm(out, st.st_mode & 0777u, st.st_atime, st.st_mtime) != 0)
        report_errno(target);
    if (host_close_out(out) != 0 && !write_failed)
        report_errno("fclose");
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
    // The way back is the host's own, not a path: a working directory of any length will do.
    host_place* home = host_here();
    if (!home) {
        report_errno("getcwd");
        return 5;
    }
    if (host_chdir(target) != 0) {
        int reason = errno;
        (void)host_go_back(home);
        errno = reason;
        return 5;
    }
    const char* host = host_name_of(source);
    int r = 0;
    if (!host || (!is_dir && !*host)) {
        r = NAME_TAKEN;
    } else if (is_dir) {
        start_tree_copy();
        r = copy_tree(source, *host ? host : nullptr, ".", flags);
    } else {
        // A file copied into a directory under its own name is one entry of a tree copy.
        uint32_t ino = fs_namei(source);
        r = ino != 0 ? copy_file(source, host, flags, ino) : 0;
    }
    if (r == NAME_TAKEN)
        std::fprintf(stderr, "%s not copied\n", source);
    if (host_go_back(home) != 0)
        report_errno(".");
    if (!is_dir)
        std::fprintf(stderr, "-r makes no sense here\n");
    return 0;
}
