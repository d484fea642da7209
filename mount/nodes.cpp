// Node ids: inode numbers, and aliases for directories met under more than one name.
#include <map>
#include <unordered_map>
#include <utility>

#include "efs/efs_io.h"
#include "mount/mount.h"

namespace {

using place = std::pair<fuse_ino_t, std::string>;  // a directory node and an entry name in it

// Where the kernel first met each directory: there it has the directory's own node. The root's
// own place is above the mount, so every entry naming it is an alias.
std::unordered_map<uint32_t, place> first_place = {{ROOT_INODE, {0, std::string()}}};

struct alias {
    uint32_t ino;
    uint64_t lookups;
    place where;
};
std::unordered_map<fuse_ino_t, alias> aliases;
std::map<place, fuse_ino_t> alias_at;
// Above every inode number.
fuse_ino_t next_alias = fuse_ino_t{1} << 32;

fuse_ino_t own_node(uint32_t ino)
{
    if (ino == ROOT_INODE)
        return FUSE_ROOT_ID;
    if (ino == FUSE_ROOT_ID)
        return ROOT_INODE;
    return ino;
}

}  // namespace

fuse_ino_t node_for_entry(fuse_ino_t parent, const char* name, uint32_t ino, bool is_dir)
{
    if (!is_dir && ino != ROOT_INODE)
        return own_node(ino);
    place here(parent, name);
    auto [first, fresh] = first_place.try_emplace(ino, here);
    if (fresh || first->second == here)
        return own_node(ino);
    auto [at, made] = alias_at.try_emplace(here, next_alias);
    if (made) {
        aliases.emplace(next_alias, alias{ino, 0, here});
        ++next_alias;
    }
    ++aliases[at->second].lookups;
    return at->second;
}

uint32_t inode_of(fuse_ino_t node)
{
    if (node == FUSE_ROOT_ID)
        return ROOT_INODE;
    if (node == ROOT_INODE)
        return FUSE_ROOT_ID;
    if (node <= UINT32_MAX)
        return static_cast<uint32_t>(node);
    auto it = aliases.find(node);
    return it == aliases.end() ? 0 : it->second.ino;
}

void node_forget(fuse_ino_t node, uint64_t lookups)
{
    auto it = aliases.find(node);
    if (it == aliases.end())
        return;
    if (it->second.lookups > lookups) {
        it->second.lookups -= lookups;
        return;
    }
    alias_at.erase(it->second.where);
    aliases.erase(it);
}
