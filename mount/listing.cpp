// Directory listings walked from a position for each request, and the entries they leave out:
// names no host can hold, entries naming no inode, a second entry of one name, and every name of
// a directory but the one it is shown under.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "efs/efs_file.h"
#include "efs/fs_error.h"
#include "host/host_io.h"
#include "mount/mount.h"

namespace {

// --- Positions in a directory's stream ---------------------------------------------------------

using cursor = dir_cursor;

bool cursor_open(cursor& c, uint32_t dir, uint64_t pos)
{
    c.d = fs_iopendir_at(dir, pos);
    c.pos = pos;
    return c.d != nullptr;
}

// The next entry, *at its position; null at the end.
fs_dirent* cursor_next(cursor& c, uint64_t* at)
{
    *at = c.pos;
    fs_dirent* e = fs_readdir(c.d);
    c.pos = fs_telldir(c.d);
    return e;
}

void cursor_close(cursor& c)
{
    if (c.d)
        fs_closedir(c.d);
    c.d = nullptr;
}

// The damage each directory's walks met: the first, and how much a walk through it passed over.
// A listing asked for at a later position ends in EIO too.
std::unordered_map<uint32_t, fs_dir_damage> dir_damage;

// Notes what the walk of c passed over; counted when the walk goes on from where the last counted
// one stopped.
void note_damage(const cursor& c, uint32_t dir, bool count = false)
{
    const fs_dir_damage* met = fs_dir_damaged(c.d);
    if (!met)
        return;
    auto [it, first] = dir_damage.try_emplace(dir, *met);
    if (!first && count)
        it->second.count += met->count;
    else if (first && !count)
        it->second.count = 0;
}

// An entry the mount can show at all: a name a host directory can hold ("." and ".." are the
// host's own), naming an inode.
bool is_dot(const fs_dirent* e)
{
    return std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0;
}

bool host_name(const fs_dirent* e)
{
    return (is_dot(e) || host_name_ok(e->d_name)) && e->d_namlen == std::strlen(e->d_name);
}

bool usable(const fs_dirent* e)
{
    return host_name(e) && e->d_ino != 0;
}

// --- What was met before a position -------------------------------------------------------------
// A listing asks of each entry whether an earlier one has its name or names its directory. A
// filter of bits keeps that for every entry from the start: a bit clear says "none", a bit set
// only "perhaps", which a walk from the start then decides. Its size is fixed, whatever the
// directory holds.

constexpr uint32_t FILTER_WORDS = 32768;  // 256 KiB, 2^21 bits
constexpr uint64_t FILTER_MASK = uint64_t{FILTER_WORDS} * 64 - 1;

struct filter {
    std::unique_ptr<uint64_t[]> bits;
    bool make()
    {
        bits.reset(new (std::nothrow) uint64_t[FILTER_WORDS]());
        return bits != nullptr;
    }
    void clear() { std::memset(bits.get(), 0, FILTER_WORDS * sizeof(uint64_t)); }
    static uint64_t mix(uint64_t h)
    {
        h ^= h >> 33;
        h *= 0xFF51AFD7ED558CCDull;
        h ^= h >> 33;
        return h;
    }
    static uint64_t name_key(const char* name)
    {
        uint64_t h = 1469598103934665603ull;
        for (const char* p = name; *p; ++p)
            h = (h ^ static_cast<unsigned char>(*p)) * 1099511628211ull;
        return mix(h);
    }
    static uint64_t inode_key(uint32_t ino) { return mix((uint64_t{ino} << 1 | 1) * 0x9E3779B97F4A7C15ull); }
    void add(uint64_t key)
    {
        for (uint64_t k : {key & FILTER_MASK, (key >> 32) & FILTER_MASK})
            bits[k >> 6] |= uint64_t{1} << (k & 63);
    }
    bool has(uint64_t key) const
    {
        for (uint64_t k : {key & FILTER_MASK, (key >> 32) & FILTER_MASK})
            if (!(bits[k >> 6] & (uint64_t{1} << (k & 63))))
                return false;
        return true;
    }
    // An entry passed: its name, and the directory it names (every entry but "." and "..").
    void pass(const fs_dirent* e)
    {
        if (usable(e))
            pass_usable(e->d_name, e->d_ino);
    }
    void pass_usable(const char* name, uint32_t ino)
    {
        add(name_key(name));
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
            add(inode_key(ino));
    }
};

// The first usable entry named `name`: 0 with *ino and *at set, ENOENT, or an errno value (EIO
// when the walk met damage and did not find it).
int find_listed(uint32_t dir, const char* name, uint32_t* ino, uint64_t* at)
{
    cursor c;
    if (!cursor_open(c, dir, 0))
        return host_error();
    int err = ENOENT;
    while (fs_dirent* e = cursor_next(c, at))
        if (usable(e) && std::strcmp(e->d_name, name) == 0) {
            *ino = e->d_ino;
            err = 0;
            break;
        }
    if (err != 0) {
        note_damage(c, dir);
        if (fs_dir_incomplete(c.d))
            err = EIO;
    }
    cursor_close(c);
    return err;
}

// Whether the usable entry at `at` is the first of its name.
bool first_of_name(uint32_t dir, const char* name, uint64_t at)
{
    uint32_t ino = 0;
    uint64_t first = 0;
    return find_listed(dir, name, &ino, &first) != 0 || first == at;
}

// The first entry of dir, first of its name and not "." or "..", that names inode ino; false when
// there is none.
bool first_naming(uint32_t dir, uint32_t ino, std::string* name)
{
    filter names;
    cursor c;
    if (!names.make() || !cursor_open(c, dir, 0))
        return false;
    bool found = false;
    uint64_t at = 0;
    while (fs_dirent* e = cursor_next(c, &at)) {
        if (!usable(e) || is_dot(e))
            continue;
        uint64_t key = filter::name_key(e->d_name);
        bool first = !names.has(key) || first_of_name(dir, e->d_name, at);
        names.add(key);
        if (first && e->d_ino == ino) {
            *name = e->d_name;
            found = true;
            break;
        }
    }
    cursor_close(c);
    return found;
}

bool is_directory(uint32_t n)
{
    fs_statbuf st;
    return n != 0 && fs_istat(n, &st) == 0 && (st.st_mode & S_TYPE_MASK) == S_TYPE_DIR;
}

// --- Where a directory is shown ----------------------------------------------------------------
// The directory its ".." names, under the first entry there that names it; where that fails
// (".." damaged, or naming a directory that does not name it), the first directory in inode order
// that names it. A directory no directory names is shown nowhere; the root is the mount's own.

struct place {
    uint32_t dir = 0;  // 0: nowhere
    std::string name;
};

// Places found, kept within a bound: finding one again costs a walk of a directory.
constexpr size_t PLACES_KEPT = 4096;
std::unordered_map<uint32_t, place> places;

uint32_t inode_count()
{
    const superblock* sb = fs_current()->superblock;
    uint64_t n = uint64_t(sb->sb_cg_count < 0 ? 0 : sb->sb_cg_count) *
                 uint64_t(sb->sb_cg_inode_blocks < 0 ? 0 : sb->sb_cg_inode_blocks) * 4;
    return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
}

uint32_t parent_of(uint32_t d)
{
    uint32_t up = 0;
    if (fs_isearch(d, "..", &up) != 0 || (up == 0 && lookup_listed(d, "..", &up) != 0))
        return 0;
    return up != d && is_directory(up) ? up : 0;
}

const place& place_of(uint32_t d)
{
    if (auto it = places.find(d); it != places.end())
        return it->second;
    place p;
    if (d != ROOT_INODE) {
        uint32_t up = parent_of(d);
        if (up != 0 && first_naming(up, d, &p.name)) {
            p.dir = up;
        } else {
            // Cylinder groups lie in ascending order: the first inode past the partition or the
            // image ends the search, however many inodes the superblock claims.
            uint32_t count = inode_count();
            for (uint32_t n = 1; n < count && p.dir == 0; ++n) {
                fs_statbuf st;
                if (fs_istat(n, &st) != 0) {
                    if (fs_errno == FS_ESEEK || fs_errno == FS_EREAD)
                        break;
                    continue;
                }
                if (n != d && (st.st_mode & S_TYPE_MASK) == S_TYPE_DIR && first_naming(n, d, &p.name))
                    p.dir = n;
            }
        }
    }
    if (places.size() >= PLACES_KEPT)
        places.clear();
    return places[d] = p;
}

// --- Reports ---------------------------------------------------------------------------------

// Where each directory's reports of left-out entries stopped, and the directories reported to
// their end: the kernel may list one many times.
std::unordered_map<uint32_t, uint64_t> reported_to;
std::unordered_set<uint32_t> reported_whole;

// The last line said: the same entry met again and again (a directory whose every slot names one
// entry) is said once.
std::string last_said;

void report_left_out(uint32_t dir, const char* name, const char* why)
{
    std::string line = std::string(mount_name) + ": directory inode " + std::to_string(dir) + ": entry \"";
    for (const char* p = name; *p; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            line += hex;
        } else {
            line += static_cast<char>(c);
        }
    }
    line += std::string("\" ") + why + ", left out\n";
    if (line != last_said)
        std::fputs(line.c_str(), stderr);
    last_said = std::move(line);
}

std::unordered_set<uint32_t> inodes_reported;

// --- Listings kept between requests -------------------------------------------------------------
// The filter of a directory being listed, as far as its last request went: the next request of
// the same listing goes on from there. A listing asked for elsewhere rebuilds one from the start.

}  // namespace

struct listing_kept {
    uint32_t dir = 0;
    uint64_t covered = 0;  // every entry before this position is in the filter
    uint64_t used = 0;
    filter seen;
};

namespace {

constexpr int LISTINGS_KEPT = 4;
listing_kept kept[LISTINGS_KEPT];
uint64_t listing_clock = 0;

// The kept filter of dir that a listing from pos goes on with (positions are opaque: the one that
// ends there), else the one used longest ago, cleared.
listing_kept* kept_for(uint32_t dir, uint64_t pos)
{
    listing_kept* best = nullptr;
    for (listing_kept& l : kept)
        if (l.seen.bits && l.dir == dir && l.covered == pos)
            return &l;
    best = &kept[0];
    for (listing_kept& l : kept)
        if (l.used < best->used)
            best = &l;
    if (!best->seen.bits && !best->seen.make())
        return nullptr;
    best->seen.clear();
    best->dir = dir;
    best->covered = 0;
    return best;
}

}  // namespace

void report_inode(uint32_t n, const std::string& why)
{
    if (report_names && inodes_reported.insert(n).second)
        std::fprintf(stderr, "%s: inode %u: %s, shown as an input/output error\n", mount_name, n, why.c_str());
}

bool dir_shown_at(uint32_t dir, const char* name, uint32_t ino)
{
    if (!is_directory(ino))
        return true;
    if (ino == ROOT_INODE) {
        std::string first;
        return first_naming(dir, ROOT_INODE, &first) && first == name;
    }
    const place& p = place_of(ino);
    return p.dir == dir && p.name == name;
}

int lookup_listed(uint32_t dir, const char* name, uint32_t* ino)
{
    uint64_t at = 0;
    return find_listed(dir, name, ino, &at);
}

int listing_start(listing_walk* w, uint32_t dir, uint64_t pos)
{
    *w = listing_walk{};
    w->dir = dir;
    listing_kept* k = kept_for(dir, pos);
    if (!k)
        return ENOMEM;
    k->used = ++listing_clock;
    // Every entry between the start and the position asked for.
    cursor& c = w->stream;
    if (k->covered != pos) {
        if (!cursor_open(c, dir, 0))
            return host_error();
        uint64_t at = 0;
        while (c.pos != pos) {
            fs_dirent* e = cursor_next(c, &at);
            if (!e)
                break;
            k->seen.pass(e);
        }
        note_damage(c, dir);
        cursor_close(c);
        k->covered = pos;
    }
    if (!cursor_open(c, dir, pos))
        return host_error();
    w->kept = k;
    // Reports go on where the last walk that made them stopped, once through the directory.
    auto said = reported_to.find(dir);
    w->report = report_names && !reported_whole.count(dir) &&
                (said == reported_to.end() ? pos == 0 : said->second == pos);
    return 0;
}

bool listing_next(listing_walk* w, listing_entry* out)
{
    cursor& c = w->stream;
    listing_kept* k = w->kept;
    uint64_t at = 0;
    while (fs_dirent* e = cursor_next(c, &at)) {
        const char* why = nullptr;
        bool dot = is_dot(e);
        if (!host_name(e)) {
            why = "cannot be a host name";
        } else if (e->d_ino == 0) {
            why = "names no inode";
        } else if (k->seen.has(filter::name_key(e->d_name)) && !first_of_name(w->dir, e->d_name, at)) {
            why = dot ? "cannot be a host name" : "is a second entry of that name";
        }
        out->ino = e->d_ino;
        out->name = e->d_name;
        out->at = at;
        out->next = c.pos;
        out->stat_err = why ? EIO : stat_inode(e->d_ino, &out->st);
        // A directory is shown under one name: the root, which has none in the mount, under the
        // first entry of each directory naming it.
        if (!why && !dot && is_directory(e->d_ino)) {
            bool first = !k->seen.has(filter::inode_key(e->d_ino));
            bool shown = e->d_ino == ROOT_INODE  ? first || dir_shown_at(w->dir, e->d_name, e->d_ino)
                         : first && parent_of(e->d_ino) == w->dir ? true
                                                                  : dir_shown_at(w->dir, e->d_name, e->d_ino);
            if (!shown)
                why = "is a second name of a directory";
        }
        if (!why)
            return true;
        if (w->report)
            report_left_out(w->dir, e->d_name, why);
        k->seen.pass(e);
        k->covered = c.pos;
    }
    w->ended = true;
    return false;
}

void listing_keep(listing_walk* w, const listing_entry& e)
{
    listing_kept* k = w->kept;
    k->seen.pass_usable(e.name, e.ino);
    k->covered = e.next;
}

bool listing_end(listing_walk* w)
{
    listing_kept* k = w->kept;
    note_damage(w->stream, w->dir, w->report);
    cursor_close(w->stream);
    auto damage = dir_damage.find(w->dir);
    if (w->report) {
        reported_to[w->dir] = k->covered;
        if (w->ended)
            reported_whole.insert(w->dir);
        // Said once the walk is through: the first damage, and how much it passed over.
        if (w->ended && damage != dir_damage.end()) {
            std::string label = std::string(mount_name) + ": directory inode " + std::to_string(w->dir);
            fs_dir_damage all = damage->second;
            all.count = all.count == 0 ? 1 : all.count;
            fs_report_damage(label.c_str(), all);
        }
    }
    return w->ended && damage != dir_damage.end();
}

void listing_reset()
{
    for (listing_kept& k : kept) {
        k.dir = 0;
        k.covered = 0;
    }
    dir_damage.clear();
    places.clear();
    reported_to.clear();
    reported_whole.clear();
    last_said.clear();
    inodes_reported.clear();
}
