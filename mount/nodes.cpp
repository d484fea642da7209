// Node ids: inode numbers, and aliases for the entries naming the root.
#include <map>
#include <unordered_map>
#include <utility>

#include "efs/efs_io.h"
#include "mount/mount.h"

namespace {

using place = std::pair<fuse_ino_t, std::string>;  // a directory node and an entry name in it

struct alias {
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

fuse_ino_t node_for_entry(fuse_ino_t parent, const char* name, uint32_t ino)
{
    if (ino != ROOT_INODE)
        return own_node(ino);
    place here(parent, name);
    auto [at, made] = alias_at.try_emplace(here, next_alias);
    if (made) {
        aliases.emplace(next_alias, alias{0, here});
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
    return aliases.count(node) ? ROOT_INODE : 0;
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

size_t alias_count()
{
    return aliases.size();
}
