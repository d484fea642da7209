// The manifest: the tree walk's sink that writes a record per entry, and the scan of the inode
// tables for what no directory reaches.
#include "walk/manifest.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/report.h"
#include "efs/efs_file.h"
#include "efs/fs_error.h"
#include "walk/progress.h"
#include "walk/tree_walk.h"

namespace {

const char* const algorithm_names[HOST_DIGEST_KINDS] = {"md5", "sha1", "sha256", "sha512"};

// Bytes gather here and go out in pieces of about this size.
constexpr size_t OUT_PIECE = 64 * 1024;
// A link's text is read up to this length; no host takes a longer one.
constexpr int32_t LINK_TEXT_MAX = 65536;

// What the manifest says of one entry.
struct record {
    std::string path;  // the image's bytes
    uint32_t ino = 0;
    bool stat_ok = false;
    fs_statbuf st{};
    bool has_extents = false;
    int16_t extents = 0;
    bool has_target = false;
    std::string target;
    bool hashed = false;
    uint8_t digest[HOST_DIGEST_KINDS][HOST_DIGEST_MAX]{};
    size_t digest_len[HOST_DIGEST_KINDS]{};
    std::vector<std::string> problems;
    bool orphan = false;
    bool in_copy = true;  // cp -r of the top puts this entry at its path (sums name only those)
};

// The inodes the walk has reached, a bit each, in pages of 65,536 made as they are needed: memory
// follows the numbers reached, not what a superblock claims.
struct reached_set {
    static constexpr uint32_t PAGE_BITS = 16;
    std::vector<std::unique_ptr<uint64_t[]>> pages;
    void add(uint32_t n)
    {
        size_t p = n >> PAGE_BITS;
        if (p >= pages.size())
            pages.resize(p + 1);
        if (!pages[p]) {
            pages[p].reset(new uint64_t[(1u << PAGE_BITS) / 64]);
            std::memset(pages[p].get(), 0, (1u << PAGE_BITS) / 8);
        }
        uint32_t i = n & ((1u << PAGE_BITS) - 1);
        pages[p][i / 64] |= uint64_t{1} << (i % 64);
    }
    bool has(uint32_t n) const
    {
        size_t p = n >> PAGE_BITS;
        uint32_t i = n & ((1u << PAGE_BITS) - 1);
        return p < pages.size() && pages[p] && (pages[p][i / 64] >> (i % 64) & 1);
    }
};

struct manifest_run {
    const manifest_options* o;
    manifest_target to;
    std::string out;
    bool failed = false;
    host_digest* digests[HOST_DIGEST_KINDS]{};
    reached_set reached;
    std::string rel;                 // the path of the directory being walked ("" at the top)
    std::vector<size_t> rel_sizes;   // rel's length above each directory walked into
    std::vector<bool> copy_levels;   // whether cp -r puts each directory walked into at its path
    bool pending = false;            // a directory's record waits for what its walk finds wrong
    record pending_record;
    unsigned long damaged = 0;       // records naming damage met (not what is left out by design)
};

void flush(manifest_run* m)
{
    if (m->out.empty() || m->failed)
        return;
    bool ok = m->to.file ? host_write(m->to.file, m->out.data(), m->out.size()) == m->out.size()
                         : std::fwrite(m->out.data(), 1, m->out.size(), m->to.stream) == m->out.size();
    if (!ok) {
        if (!m->to.file && errno == 0)
            errno = EIO;
        m->failed = true;
    }
    m->out.clear();
}

void hex(std::string& out, const uint8_t* bytes, size_t len)
{
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < len; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
}

// The image's bytes as ISO 8859-1 in UTF-8: every byte one character, any name valid text.
void latin1(std::string& out, unsigned char c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void json_string(std::string& out, const std::string& s)
{
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char u[8];
                std::snprintf(u, sizeof u, "\\u%04x", c);
                out += u;
            } else {
                latin1(out, c);
            }
        }
    }
    out += '"';
}

const char* type_name(uint16_t mode)
{
    switch (mode & S_TYPE_MASK) {
    case S_TYPE_REG: return "file";
    case S_TYPE_DIR: return "dir";
    case S_TYPE_LNK: return "symlink";
    case S_TYPE_CHR: return "chardev";
    case S_TYPE_BLK: return "blockdev";
    case S_TYPE_FIFO: return "fifo";
    case S_TYPE_SOCK: return "socket";
    default: return nullptr;
    }
}

template <typename T>
void field(std::string& out, const char* name, T value)
{
    out += ",\"";
    out += name;
    out += "\":";
    out += std::to_string(value);
}

void write_jsonl(manifest_run* m, const record& r)
{
    std::string& out = m->out;
    out += "{\"path\":";
    json_string(out, r.path);
    field(out, "inode", r.ino);
    const char* type = r.stat_ok ? type_name(r.st.st_mode) : nullptr;
    if (r.stat_ok) {
        if (type) {
            out += ",\"type\":\"";
            out += type;
            out += '"';
        }
        field(out, "mode", r.st.st_mode & 07777);
        field(out, "uid", static_cast<uint16_t>(r.st.st_uid));
        field(out, "gid", static_cast<uint16_t>(r.st.st_gid));
        field(out, "nlink", r.st.st_nlink);
        field(out, "size", r.st.st_size);
        field(out, "atime", r.st.st_atime);
        field(out, "mtime", r.st.st_mtime);
        field(out, "ctime", r.st.st_ctime);
        if (r.has_target) {
            out += ",\"target\":";
            json_string(out, r.target);
        }
        uint16_t t = r.st.st_mode & S_TYPE_MASK;
        if (t == S_TYPE_CHR || t == S_TYPE_BLK) {
            field(out, "major", r.st.st_major);
            field(out, "minor", r.st.st_minor);
        }
        if (r.has_extents)
            field(out, "extents", r.extents);
    }
    if (r.hashed) {
        for (int k = 0; k < HOST_DIGEST_KINDS; ++k) {
            if (!(m->o->algorithms & (1u << k)))
                continue;
            out += ",\"";
            out += algorithm_names[k];
            out += "\":\"";
            hex(out, r.digest[k], r.digest_len[k]);
            out += '"';
        }
    }
    out += ",\"problems\":[";
    for (size_t i = 0; i < r.problems.size(); ++i) {
        if (i)
            out += ',';
        json_string(out, r.problems[i]);
    }
    out += ']';
    if (r.orphan)
        out += ",\"orphan\":true";
    out += "}\n";
}

// The Sleuth Kit's mode text: the name's type, '/', the inode's type and the nine permission
// characters with set-user-ID, set-group-ID and sticky bits.
std::string mode_text(const record& r)
{
    if (!r.stat_ok)
        return "-/----------";
    uint16_t mode = r.st.st_mode;
    char t = '-';
    switch (mode & S_TYPE_MASK) {
    case S_TYPE_REG: t = 'r'; break;
    case S_TYPE_DIR: t = 'd'; break;
    case S_TYPE_LNK: t = 'l'; break;
    case S_TYPE_CHR: t = 'c'; break;
    case S_TYPE_BLK: t = 'b'; break;
    case S_TYPE_FIFO: t = 'p'; break;
    case S_TYPE_SOCK: t = 'h'; break;
    default: break;
    }
    std::string s = {t, '/', t};
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
        s += (mode & (0400 >> i)) ? rwx[i] : '-';
    auto special = [&](size_t at, uint16_t bit, char set) {
        if (mode & bit)
            s[at] = s[at] == '-' ? static_cast<char>(set - 'a' + 'A') : set;
    };
    special(5, 04000, 's');
    special(8, 02000, 's');
    special(11, 01000, 't');
    return s;
}

// A body-file field: the bytes as UTF-8, with the separator and control characters as '^'.
void body_text(std::string& out, const std::string& s)
{
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F || c == '|')
            out += '^';
        else
            latin1(out, c);
    }
}

void write_body(manifest_run* m, const record& r)
{
    std::string& out = m->out;
    if (r.hashed && (m->o->algorithms & (1u << HOST_MD5)))
        hex(out, r.digest[HOST_MD5], r.digest_len[HOST_MD5]);
    else
        out += '0';
    out += '|';
    body_text(out, r.path);
    if (r.has_target) {
        out += " -> ";
        body_text(out, r.target);
    }
    out += '|' + std::to_string(r.ino) + '|' + mode_text(r) + '|';
    if (r.stat_ok) {
        out += std::to_string(static_cast<uint16_t>(r.st.st_uid)) + '|' + std::to_string(static_cast<uint16_t>(r.st.st_gid)) +
               '|' + std::to_string(r.st.st_size) + '|' + std::to_string(r.st.st_atime) + '|' +
               std::to_string(r.st.st_mtime) + '|' + std::to_string(r.st.st_ctime) + "|0\n";
    } else {
        out += "0|0|0|0|0|0|0\n";
    }
}

// GNU coreutils' check lines: a name holding a backslash or a newline is escaped, and its line
// starts with a backslash.
void write_sums(manifest_run* m, const record& r)
{
    if (!r.hashed || !r.in_copy || r.orphan)
        return;
    int k = 0;
    while (!(m->o->algorithms & (1u << k)))
        ++k;
    std::string& out = m->out;
    bool escape = r.path.find_first_of("\\\n") != std::string::npos;
    if (escape)
        out += '\\';
    hex(out, r.digest[k], r.digest_len[k]);
    out += "  ";
    for (char c : r.path) {
        if (escape && c == '\\')
            out += "\\\\";
        else if (escape && c == '\n')
            out += "\\n";
        else
            out += c;
    }
    out += '\n';
}

void emit(manifest_run* m, const record& r)
{
    // What cp leaves out by design ("not copied") is no damage; anything else wrong is.
    for (const std::string& p : r.problems)
        if (p.rfind("not copied: ", 0) != 0) {
            ++m->damaged;
            break;
        }
    switch (m->o->format) {
    case MANIFEST_JSONL: write_jsonl(m, r); break;
    case MANIFEST_BODY: write_body(m, r); break;
    case MANIFEST_SUMS: write_sums(m, r); break;
    }
    if (m->out.size() >= OUT_PIECE)
        flush(m);
}

void emit_pending(manifest_run* m)
{
    if (m->pending) {
        m->pending = false;
        emit(m, m->pending_record);
    }
}

std::string lib_problem(const char* label)
{
    int32_t code = fs_errno > 0 && fs_errno < FS_NERR ? fs_errno : FS_EREAD;
    return std::string(label) + ": " + fs_errlist[code];
}

// A regular file's bytes, read once for every hash; without hashes only its extents are followed,
// which finds data that end early without reading them.
void read_file(manifest_run* m, record* r)
{
    progress_file(r->path.c_str());
    fs_file* s = fs_iopen(r->ino);
    if (!s) {
        r->problems.push_back(lib_problem("fs_fopen"));
        return;
    }
    r->has_extents = true;
    r->extents = s->inode->di_extent_count;
    bool hashing = m->o->algorithms != 0;
    uint64_t got = 0;
    fs_run run;
    while (fs_next_run(s, &run)) {
        if (!hashing) {
            fs_skip_run(s, &run);
            got += run.bytes;
            continue;
        }
        const uint8_t* bytes = fs_read_run(s, &run, nullptr);
        if (!bytes)
            break;
        for (int k = 0; k < HOST_DIGEST_KINDS; ++k)
            if (m->digests[k])
                host_digest_add(m->digests[k], bytes, run.bytes);
        got += run.bytes;
        progress_bytes(run.bytes);
    }
    if (s->inode->di_size < 0) {
        std::string p = "a negative size";
        if (hashing)
            p += ": the hashes cover the " + std::to_string(got) + " bytes the extents hold";
        r->problems.push_back(p);
    }
    // As cp tells it: a stream read to its end stands one past the size.
    if (static_cast<int64_t>(s->osize) <= s->inode->di_size) {
        std::string p = lib_problem("fs_fread");
        p += ": " + std::to_string(static_cast<int64_t>(s->inode->di_size) - static_cast<int64_t>(got)) +
             " bytes missing";
        if (hashing)
            p += "; the hashes cover the " + std::to_string(got) + " bytes the image holds";
        r->problems.push_back(p);
    }
    fs_fclose(s);
    if (hashing) {
        r->hashed = true;
        for (int k = 0; k < HOST_DIGEST_KINDS; ++k) {
            if (m->digests[k] && (r->digest_len[k] = host_digest_end(m->digests[k], r->digest[k])) == 0)
                r->hashed = false;
        }
        if (!r->hashed)
            r->problems.push_back("the host could not compute the hashes");
    }
}

void read_link(record* r)
{
    r->has_target = true;
    int32_t size = r->st.st_size;
    if (size < 0 || size > LINK_TEXT_MAX) {
        r->problems.push_back("link text of " + std::to_string(size) + " bytes not read");
        return;
    }
    fs_file* s = fs_iopen(r->ino);
    if (!s) {
        r->problems.push_back(lib_problem("fs_fopen"));
        return;
    }
    r->target.resize(static_cast<size_t>(size));
    uint32_t got = fs_fread(r->target.data(), 1, static_cast<uint32_t>(size), s);
    r->target.resize(got);
    if (got != static_cast<uint32_t>(size))
        r->problems.push_back(lib_problem("fs_fread") + ": " + std::to_string(size - static_cast<int32_t>(got)) +
                              " bytes missing");
    fs_fclose(s);
}

// The extent count of an entry whose data are not read here.
void count_extents(record* r)
{
    fs* f = fs_current();
    uint8_t block[512];
    disk_inode di;
    if (f && fs_iread(f, r->ino, block, &di) == 0) {
        r->has_extents = true;
        r->extents = di.di_extent_count;
    }
}

// Fills everything the record says of an entry stated already.
void describe(manifest_run* m, record* r)
{
    if (!r->stat_ok)
        return;
    switch (r->st.st_mode & S_TYPE_MASK) {
    case S_TYPE_REG: read_file(m, r); break;
    case S_TYPE_LNK:
        read_link(r);
        count_extents(r);
        break;
    default: count_extents(r); break;
    }
}

bool usable_name(const walk_entry& e)
{
    return e.name_len != 0 && e.name_len == std::strlen(e.name) && std::strcmp(e.name, ".") != 0 &&
           std::strcmp(e.name, "..") != 0 && std::strchr(e.name, '/') == nullptr;
}

walk_step on_entry(void* ctx, const walk_entry& e, const char*, const char*)
{
    auto* m = static_cast<manifest_run*>(ctx);
    emit_pending(m);
    record r;
    r.path = m->rel.empty() ? std::string(e.name, e.name_len) : m->rel + "/" + std::string(e.name, e.name_len);
    r.ino = e.ino;
    r.stat_ok = e.stat_ok;
    r.st = e.st;
    r.in_copy = m->copy_levels.back() && usable_name(e);
    m->reached.add(e.ino);
    if (!e.stat_ok) {
        r.problems.push_back(lib_problem("stat"));
        emit(m, r);
        return WALK_NEXT;
    }
    if (!usable_name(e))
        r.problems.push_back("not copied: the name cannot be used on a host");
    bool dir = (e.st.st_mode & S_TYPE_MASK) == S_TYPE_DIR;
    if (dir && e.entered)
        r.problems.push_back("not copied: a directory met again");
    describe(m, &r);
    if (!dir || e.entered) {
        emit(m, r);
        return WALK_NEXT;
    }
    m->rel_sizes.push_back(m->rel.size());
    m->copy_levels.push_back(r.in_copy);
    m->rel = r.path;
    m->pending = true;
    m->pending_record = std::move(r);
    return WALK_INTO;
}

void on_back(void* ctx, const walk_entry&, const char*, const char*)
{
    auto* m = static_cast<manifest_run*>(ctx);
    m->rel.resize(m->rel_sizes.back());
    m->rel_sizes.pop_back();
    m->copy_levels.pop_back();
}

// The directory being walked (its record still waiting) cannot be read whole.
void on_unreadable(void* ctx, const char*)
{
    auto* m = static_cast<manifest_run*>(ctx);
    std::string p = lib_problem("opendir") + ": entries may be missing";
    if (m->pending)
        m->pending_record.problems.push_back(p);
}

// What the directory's listing passed over (its record still waiting), in the words cp -r says it.
void on_damaged(void* ctx, const char* name, const fs_dir_damage& d)
{
    auto* m = static_cast<manifest_run*>(ctx);
    if (!m->pending) {
        progress_hide();
        fs_report_damage(name, d);
        return;
    }
    int32_t code = d.code > 0 && d.code < FS_NERR ? d.code : FS_EREAD;
    std::string p = "block " + std::to_string(d.block) + ": " + fs_errlist[code];
    if (d.count > 1)
        p += ", " + std::to_string(d.count) + " damaged in all";
    m->pending_record.problems.push_back(p + "; the entries of the other blocks are listed");
}

void on_leave(void* ctx, const char*)
{
    emit_pending(static_cast<manifest_run*>(ctx));
}

void on_arrive(void*, const char*) {}

bool on_enter(void*, const char*, uint32_t)
{
    return true;
}

bool on_stop(void* ctx)
{
    return static_cast<manifest_run*>(ctx)->failed;
}

// Every inode after the tree that holds a file type and was not reached, cylinder group by
// cylinder group, each inode table read once in order (four inodes to a read, through the
// library's block of the inode read last).
void scan_orphans(manifest_run* m)
{
    fs* f = fs_current();
    const superblock* sb = f->superblock;
    uint32_t per_cg = 4u * static_cast<uint32_t>(sb->sb_cg_inode_blocks);
    for (int64_t g = 0; g < sb->sb_cg_count && !m->failed; ++g) {
        // Groups past the file system's size are no part of it.
        if (int64_t{sb->sb_first_cg} + g * sb->sb_cg_size >= sb->sb_size)
            break;
        // Tables that overlap the next group's (a damaged superblock) would be read again and
        // again: the first group's is read alone.
        if (g > 0 && sb->sb_cg_size < sb->sb_cg_inode_blocks)
            break;
        bool told = false;
        for (uint32_t i = 0; i < per_cg && !m->failed; ++i) {
            uint64_t n64 = static_cast<uint64_t>(g) * per_cg + i;
            if (n64 > UINT32_MAX)
                return;
            auto n = static_cast<uint32_t>(n64);
            if (n == 0 || m->reached.has(n))
                continue;
            uint8_t block[512];
            disk_inode di;
            fs_errno = FS_OK;
            int rc = fs_iread(f, n, block, &di);
            if (rc != 0 && fs_errno != FS_EBADMAGIC) {
                // An inode block that cannot be read hides what it holds: said once per group.
                if (!told) {
                    fs_perror(("<" + std::to_string(n) + ">").c_str());
                    told = true;
                }
                // A group whose table cannot be read from its start lies past the image's end,
                // and so do those after it.
                if (i < 4)
                    return;
                i |= 3;  // the rest of this block
                continue;
            }
            if (!fs_is_file_type(di.di_mode))
                continue;
            record r;
            r.path = "$orphans/<" + std::to_string(n) + ">";
            r.ino = n;
            r.orphan = true;
            r.in_copy = false;
            if (rc != 0) {
                r.problems.push_back(std::string("stat: ") + fs_errlist[FS_EBADMAGIC]);
            } else {
                r.stat_ok = true;
                fs_stat_of(di, n, &r.st);
                describe(m, &r);
            }
            emit(m, r);
        }
    }
}

// The name of the top entry: the last component of the path given (the word itself for "<N>").
std::string top_name(const char* word)
{
    std::string path = word;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Damage met fails the command as it fails cp: a script learns that the manifest is of an image
// that lost something, whichever format it reads.
void report_damaged(unsigned long records, manifest_format format)
{
    ++failures_reported;
    if (before_report)
        before_report();
    std::fprintf(stderr, "manifest: %lu %s damage: %s\n", records, records == 1 ? "entry met" : "entries met",
                 format == MANIFEST_JSONL ? "their problems name it" : "-f jsonl names it");
}

}  // namespace

bool manifest_algorithm(const char* name, host_digest_kind* kind)
{
    for (int k = 0; k < HOST_DIGEST_KINDS; ++k) {
        if (std::strcmp(name, algorithm_names[k]) == 0) {
            *kind = static_cast<host_digest_kind>(k);
            return true;
        }
    }
    return false;
}

bool manifest_tree(const char* word, uint32_t ino, const fs_statbuf& st, const manifest_options& o,
                   const manifest_target& to)
{
    manifest_run m;
    m.o = &o;
    m.to = to;
    m.out.reserve(2 * OUT_PIECE);
    bool ok = true;
    for (int k = 0; k < HOST_DIGEST_KINDS; ++k)
        if ((o.algorithms & (1u << k)) && !(m.digests[k] = host_digest_open(static_cast<host_digest_kind>(k))))
            ok = false;
    if (ok) {
        record top;
        top.ino = ino;
        top.stat_ok = true;
        top.st = st;
        m.reached.add(ino);
        m.copy_levels.push_back(true);
        if ((st.st_mode & S_TYPE_MASK) == S_TYPE_DIR) {
            top.path = ".";
            describe(&m, &top);
            m.pending = true;
            m.pending_record = std::move(top);
            walk_tree_listed(word, ino, walk_sink{&m, on_arrive, on_unreadable, on_enter, on_unreadable, on_damaged, on_entry,
                                                  on_leave, on_back, on_stop});
            emit_pending(&m);
        } else {
            top.path = top_name(word);
            describe(&m, &top);
            emit(&m, top);
        }
        if (o.orphans)
            scan_orphans(&m);
        flush(&m);
        ok = !m.failed;
        if (ok && m.damaged != 0)
            report_damaged(m.damaged, o.format);
    }
    int reason = errno;
    for (host_digest* d : m.digests)
        host_digest_close(d);
    errno = reason;
    return ok;
}
