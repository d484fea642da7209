// The records of what a tree copy wrote into the host directories it is filling, and the host files
// it makes there.
#include <cerrno>
#include <algorithm>
#include <deque>
#include <vector>

#include "host/host_io.h"
#include "walk/copy.h"

namespace {

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

}  // namespace

void start_records()
{
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
namespace {

bool written_from_another(const host_id& id, uint32_t ino)
{
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

}  // namespace

bool written_from_another(const char* host, uint32_t ino)
{
    host_id id;
    return host_id_of(host, &id) && written_from_another(id, ino);
}

// The host file for a file of a tree copy. A name not yet taken costs one call, which is what a
// large tree is made of; a taken one is a copy to overwrite, unless this copy wrote it from another
// inode or it is no regular file (a link, pipe or device: null, *taken set, nothing touched).
host_out* create_in_tree(const char* target, uint32_t ino, bool* taken, host_refusal* why)
{
    host_out* out = host_create(target, HOST_IN_TREE | HOST_ONLY_NEW, why);
    host_id there{};
    bool seen = false;
    if (!out && *why == HOST_ERRNO && errno == EEXIST) {
        seen = host_id_of(target, &there);
        if (seen && written_from_another(there, ino)) {
            *taken = true;
            return nullptr;
        }
        out = host_create(target, HOST_IN_TREE, why);
    }
    if (!out && *why == HOST_NOT_A_FILE)
        *taken = true;
    host_id id;
    if (out && host_out_id(out, &id)) {
        written.push_back(record_of(id, ino));
        // A hard link that was there got a file of its own: its other names in the directories
        // being filled still lead to what this entry's name was, and are not copied over either.
        if (seen && !(id == there))
            written.push_back(record_of(there, ino));
    }
    return out;
}

void record_written(const host_id& id, uint32_t ino)
{
    written.push_back(record_of(id, ino));
}
