// File system part of the image builder: inode numbers, data layout, cylinder groups, inodes and superblock.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "tests/support/image_builder_internal.h"

namespace imgb::detail {

namespace {

constexpr uint32_t kMaxBlock24 = 0xFFFFFF;
constexpr uint32_t kPastImageBlock = 0xFFFF00;

uint16_t type_bits(Kind k)
{
    switch (k) {
    case Kind::dir: return 0x4000;
    case Kind::file: return 0x8000;
    case Kind::symlink: return 0xA000;
    case Kind::chardev: return 0x2000;
    case Kind::blockdev: return 0x6000;
    case Kind::fifo: return 0x1000;
    case Kind::socket: return 0xC000;
    }
    return 0;
}

bool has_data(Kind k) { return k == Kind::dir || k == Kind::file || k == Kind::symlink; }

std::string child_key(const std::string& parent, const std::string& name)
{
    return parent.back() == '/' ? parent + name : parent + "/" + name;
}

// One node that gets an inode, with its planned layout.
struct Plan {
    const Node* node = nullptr;
    std::string key;
    uint32_t ino = 0;
    int subdirs = 0;
    std::vector<DirEntry> entries;
    std::vector<std::string> dir_blocks;
    uint64_t size = 0;
    std::vector<uint32_t> ext_len;   // data extents, zero-length ones included
    std::vector<uint32_t> ind_len;   // indirect extents
};

// Bytes of one node's data, produced piecewise.
class Source {
public:
    ~Source()
    {
        if (fd_ >= 0) close(fd_);
    }
    bool open(const Node& n, std::string& error)
    {
        node_ = &n;
        if (!n.host_file.empty()) {
            fd_ = ::open(n.host_file.c_str(), O_RDONLY);
            if (fd_ < 0) {
                error = "cannot open " + n.host_file;
                return false;
            }
        }
        return true;
    }
    // Fills dst with bytes [off, off + len), zeros past the end of the data.
    void read(uint64_t off, uint8_t* dst, size_t len, uint64_t size) const
    {
        size_t have = off >= size ? 0 : static_cast<size_t>(std::min<uint64_t>(len, size - off));
        if (have > 0) {
            if (fd_ >= 0) {
                size_t got = 0;
                while (got < have) {
                    ssize_t r = pread(fd_, dst + got, have - got, static_cast<off_t>(off + got));
                    if (r <= 0) break;
                    got += static_cast<size_t>(r);
                }
                std::memset(dst + got, 0, have - got);
            } else if (!node_->data.empty()) {
                std::memcpy(dst, node_->data.data() + off, have);
            } else {
                pattern_fill(dst, off, have, node_->pattern_seed);
            }
        }
        std::memset(dst + have, 0, len - have);
    }

private:
    const Node* node_ = nullptr;
    int fd_ = -1;
};

bool data_size(const Node& n, uint64_t& size, std::string& error)
{
    if (!n.host_file.empty()) {
        struct stat st;
        if (stat(n.host_file.c_str(), &st) != 0) {
            error = "cannot stat " + n.host_file;
            return false;
        }
        size = static_cast<uint64_t>(st.st_size);
    } else {
        size = n.data.empty() ? n.pattern_size : n.data.size();
    }
    return true;
}

// Hands out runs of blocks from the data areas of the cylinder groups, in order.
struct Allocator {
    int64_t first_cg, cg_size, inode_blocks, cg_count;
    int64_t group = 0, next = 0, used = 0;
    int64_t data_start(int64_t g) const { return first_cg + g * cg_size + inode_blocks; }
    int64_t peek() const { return std::max(next, data_start(group)); }
    int64_t alloc(int64_t len)
    {
        while (group < cg_count) {
            int64_t start = std::max(next, data_start(group));
            if (start + len <= first_cg + (group + 1) * cg_size) {
                next = start + len;
                used += len;
                return start;
            }
            ++group;
        }
        return -1;
    }
};

}  // namespace

struct FsWriter {
    const Fs& fs;
    int part;
    std::vector<Plan> plans;
    std::vector<std::pair<std::string, uint32_t>> links;
    std::set<uint32_t> forced;
    uint32_t next_ino = 3, max_ino = 2;
    int64_t data_blocks = 0;
    int64_t first_cg = 0, cg_size = 0, inode_blocks = 0, cg_count = 0, sb_size = 0;
    int64_t first_block = 0;
    std::string error;

    FsWriter(const Fs& f, int p) : fs(f), part(p) {}

    void collect_forced(const Node& n)
    {
        if (n.link_to == 0 && n.inode != 0) forced.insert(n.inode);
        for (const Node& c : n.children) collect_forced(c);
    }

    uint32_t next_free()
    {
        while (forced.count(next_ino) != 0) ++next_ino;
        return next_ino++;
    }

    uint32_t assign(const Node& n, uint32_t parent, const std::string& key, bool is_root)
    {
        uint32_t ino = n.inode != 0 ? n.inode : (is_root ? 2 : next_free());
        max_ino = std::max(max_ino, ino);
        size_t idx = plans.size();
        plans.emplace_back();
        plans[idx].node = &n;
        plans[idx].key = key;
        plans[idx].ino = ino;
        if (n.kind != Kind::dir) return ino;
        std::vector<DirEntry> entries{{ino, "."}, {is_root ? ino : parent, ".."}};
        int subdirs = 0;
        for (const Node& c : n.children) {
            std::string ck = child_key(key, c.name);
            if (c.link_to != 0) {
                links.emplace_back(ck, c.link_to);
                entries.push_back({c.link_to, c.name});
                continue;
            }
            uint32_t ci = assign(c, ino, ck, false);
            if (c.unnamed) continue;
            entries.push_back({ci, c.name});
            if (c.kind == Kind::dir) ++subdirs;
        }
        plans[idx].entries = std::move(entries);
        plans[idx].subdirs = subdirs;
        return ino;
    }

    bool layout(Plan& p)
    {
        const Node& n = *p.node;
        if (!has_data(n.kind)) return true;
        const bool is_dir = n.kind == Kind::dir;
        uint64_t blocks = 0;
        if (is_dir) {
            if (!pack_dir(p.entries, n.dir_entries_per_block, p.dir_blocks, error)) return false;
            if (n.damage.entry_past_end) p.dir_blocks.push_back(past_end_dir_block(p.ino));
            blocks = p.dir_blocks.size();
        } else {
            if (!data_size(n, p.size, error)) return false;
            if (p.size > 0x7FFFFFFF) {
                error = "file too large: " + p.key;
                return false;
            }
            blocks = (p.size + kBlock - 1) / kBlock;
        }
        const int eb = n.extent_blocks != 0 ? n.extent_blocks : (is_dir ? 1 : 248);
        if (eb < 1 || eb > 255) {
            error = "extent_blocks out of range: " + p.key;
            return false;
        }
        std::vector<uint32_t> lens;
        if (n.extents > 0) {
            const uint64_t e = static_cast<uint64_t>(n.extents);
            blocks = std::max(blocks, e);
            if (blocks > e * static_cast<uint64_t>(eb)) {
                error = "data does not fit the forced extents: " + p.key;
                return false;
            }
            for (uint64_t i = 0; i < e; ++i)
                lens.push_back(static_cast<uint32_t>(blocks / e + (i < blocks % e ? 1 : 0)));
        } else {
            for (uint64_t rem = blocks; rem > 0;) {
                uint64_t take = std::min<uint64_t>(rem, static_cast<uint64_t>(eb));
                lens.push_back(static_cast<uint32_t>(take));
                rem -= take;
            }
        }
        if (is_dir) {
            while (p.dir_blocks.size() < blocks) p.dir_blocks.push_back(empty_dir_block());
            for (int b : n.damage.bad_dir_magic_blocks)
                if (b >= 0 && static_cast<size_t>(b) < p.dir_blocks.size())
                    store_be16(reinterpret_cast<uint8_t*>(p.dir_blocks[static_cast<size_t>(b)].data()), 0xDEAD);
            int k = n.damage.slot_count_255_block;
            if (k >= 0 && static_cast<size_t>(k) < p.dir_blocks.size()) p.dir_blocks[static_cast<size_t>(k)][3] = '\xFF';
            p.size = blocks * kBlock;
        }
        for (size_t i = 0; i <= lens.size(); ++i) {
            for (int z : n.zero_length_at)
                if (z >= 0 && static_cast<size_t>(z) == i) p.ext_len.push_back(0);
            if (i < lens.size()) p.ext_len.push_back(lens[i]);
        }
        const size_t total = p.ext_len.size();
        if (total > 0x7FFF) {
            error = "too many extents: " + p.key;
            return false;
        }
        if (total > 12) {
            size_t ind_blocks = (total + 63) / 64;
            size_t per = n.indirect_extent_blocks > 0 ? static_cast<size_t>(n.indirect_extent_blocks) : 255;
            if (per > 255) {
                error = "indirect_extent_blocks out of range: " + p.key;
                return false;
            }
            for (size_t rem = ind_blocks; rem > 0;) {
                size_t take = std::min(rem, per);
                p.ind_len.push_back(static_cast<uint32_t>(take));
                rem -= take;
            }
            if (p.ind_len.size() > 12) {
                error = "more than 12 indirect extents: " + p.key;
                return false;
            }
        }
        for (uint32_t len : p.ext_len) data_blocks += len + 1;
        for (uint32_t len : p.ind_len) data_blocks += len + 1;
        if (n.damage.long_extent_at >= 0) data_blocks += 256;
        return true;
    }

    bool geometry()
    {
        const int64_t need_inodes = static_cast<int64_t>(max_ino) + 2;
        const int64_t d = data_blocks;
        int64_t n = fs.cg_count > 0 ? fs.cg_count : std::max<int64_t>(1, (d + 16383) / 16384);
        for (;; ++n) {
            if (n > 0x7FFF) {
                error = "file system does not fit its cylinder groups";
                return false;
            }
            int64_t ib = fs.cg_inode_blocks > 0 ? fs.cg_inode_blocks : std::max<int64_t>(1, (need_inodes + 4 * n - 1) / (4 * n));
            int64_t cs = fs.cg_size > 0 ? fs.cg_size : ib + (d + n - 1) / n + 512;
            bool ok = ib <= 0x7FFF && 4 * ib * n >= need_inodes && cs > ib;
            if (ok && fs.cg_size > 0 && fs.cg_count <= 0) ok = (cs - ib - 256) > 0 && n * (cs - ib - 256) >= d;
            if (ok) {
                cg_count = n;
                inode_blocks = ib;
                cg_size = cs;
                break;
            }
            if (fs.cg_count > 0) {
                error = "inodes or data do not fit the given cylinder groups";
                return false;
            }
        }
        if (fs.first_cg > 0) {
            first_cg = fs.first_cg;
        } else {
            first_cg = 3;
            for (int i = 0; i < 3; ++i) {
                int64_t size = first_cg + cg_count * cg_size + 1;
                int64_t bitmap = ((size + 7) / 8 + kBlock - 1) / kBlock;
                first_cg = std::max<int64_t>(3, 2 + bitmap);
            }
        }
        sb_size = first_cg + cg_count * cg_size + 1;   // the last block holds the replica superblock
        if (sb_size > kMaxBlock24) {
            error = "file system larger than extents can address";
            return false;
        }
        return true;
    }

    int64_t inode_pos(uint32_t ino) const
    {
        const int64_t per = 4 * inode_blocks;
        const int64_t g = ino / per, i = ino % per;
        return (first_block + first_cg + g * cg_size + i / 4) * kBlock + (i % 4) * 128;
    }

    bool write_inode(Out& out, const Plan& p, const NodeInfo& info)
    {
        const Node& n = *p.node;
        uint8_t b[128] = {};
        const bool is_dir = n.kind == Kind::dir;
        uint16_t mode = n.mode ? *n.mode : static_cast<uint16_t>(type_bits(n.kind) | (n.perm & 07777));
        int16_t nlink = n.nlink != 0 ? n.nlink : static_cast<int16_t>(is_dir ? 2 + p.subdirs : 1);
        store_be16(b, mode);
        store_be16(b + 2, static_cast<uint16_t>(nlink));
        store_be16(b + 4, n.uid);
        store_be16(b + 6, n.gid);
        store_be32(b + 8, n.damage.raw_size ? static_cast<uint32_t>(*n.damage.raw_size) : static_cast<uint32_t>(p.size));
        store_be32(b + 12, static_cast<uint32_t>(n.atime));
        store_be32(b + 16, static_cast<uint32_t>(n.mtime));
        store_be32(b + 20, static_cast<uint32_t>(n.ctime));
        const size_t count = p.ext_len.size();
        int16_t ec = n.damage.raw_extent_count ? *n.damage.raw_extent_count : static_cast<int16_t>(count);
        store_be16(b + 28, static_cast<uint16_t>(ec));
        if (!has_data(n.kind)) {
            if (n.rdev_wide) {
                store_be16(b + 32, 0xFFFF);
                store_be32(b + 36, n.rdev);
            } else {
                store_be16(b + 32, static_cast<uint16_t>(n.rdev));
            }
        } else if (count <= 12) {
            for (size_t i = 0; i < count; ++i)
                store_extent(b + 32 + 8 * i, info.extents[i].block, info.extents[i].length, info.extents[i].offset);
        } else {
            for (size_t i = 0; i < info.indirect.size(); ++i) {
                uint32_t off = i == 0 ? static_cast<uint32_t>(info.indirect.size()) : 0;
                store_extent(b + 32 + 8 * i, info.indirect[i].block, info.indirect[i].length, off);
            }
            if (n.damage.raw_indirect_count) store_extent(b + 32, info.indirect[0].block, info.indirect[0].length, *n.damage.raw_indirect_count);
        }
        int slot = n.damage.bad_extent_magic_slot;
        if (slot >= 0 && slot < 12) b[32 + 8 * slot] = 0x5A;
        return out.write(info.inode_offset, b, sizeof b);
    }

    bool write_node(Out& out, Allocator& a, const Plan& p, Result& result, std::vector<uint8_t>& buf)
    {
        const Node& n = *p.node;
        NodeInfo info;
        info.inode = p.ino;
        info.inode_offset = inode_pos(p.ino);
        Source src;
        if (n.kind != Kind::dir && has_data(n.kind) && !src.open(n, error)) return false;
        for (uint32_t len : p.ind_len) {
            int64_t b = a.alloc(len);
            if (b < 0) return no_space();
            info.indirect.push_back({static_cast<uint32_t>(b), len, 0});
        }
        static const std::vector<uint8_t> gap(kBlock, 0xEE);
        uint32_t logical = 0;
        bool first = true;
        for (size_t i = 0; i < p.ext_len.size(); ++i) {
            const uint32_t len = p.ext_len[i];
            const int k = static_cast<int>(i);
            ExtentInfo e{static_cast<uint32_t>(a.peek()), len, logical};
            if (len > 0) {
                if (!first && n.extent_gaps) {
                    int64_t g = a.alloc(1);
                    if (g < 0) return no_space();
                    if (!out.write((first_block + g) * kBlock, gap.data(), gap.size())) return false;
                }
                first = false;
                int64_t b = a.alloc(k == n.damage.long_extent_at ? 255 : len);
                if (b < 0) return no_space();
                e.block = static_cast<uint32_t>(b);
                const size_t bytes = static_cast<size_t>(len) * kBlock;
                if (n.kind == Kind::dir) {
                    for (uint32_t j = 0; j < len; ++j)
                        std::memcpy(buf.data() + j * kBlock, p.dir_blocks[logical + j].data(), kBlock);
                } else {
                    src.read(static_cast<uint64_t>(logical) * kBlock, buf.data(), bytes, p.size);
                }
                if (!out.write((first_block + b) * kBlock, buf.data(), bytes)) return false;
            }
            logical += len;
            if (k == n.damage.break_invariant_at) e.offset += 1;
            if (k == n.damage.long_extent_at) e.length = 255;
            if (k == n.damage.extent_past_image_at) e.block = kPastImageBlock;
            info.extents.push_back(e);
        }
        if (!p.ind_len.empty() && !write_indirect(out, info)) return false;
        if (!write_inode(out, p, info)) return false;
        result.nodes[p.key] = std::move(info);
        return true;
    }

    bool write_indirect(Out& out, const NodeInfo& info)
    {
        size_t blocks = 0;
        for (const ExtentInfo& x : info.indirect) blocks += x.length;
        std::vector<uint8_t> ind(blocks * kBlock, 0);
        for (size_t i = 0; i < info.extents.size(); ++i) {
            const ExtentInfo& e = info.extents[i];
            store_extent(ind.data() + 8 * i, e.block, e.length, e.offset);
        }
        size_t at = 0;
        for (const ExtentInfo& x : info.indirect) {
            if (!out.write((first_block + x.block) * kBlock, ind.data() + at, x.length * kBlock)) return false;
            at += x.length * kBlock;
        }
        return true;
    }

    bool no_space()
    {
        error = "file system too small for its data";
        return false;
    }

    bool write_superblock(Out& out, int64_t used_blocks)
    {
        uint8_t sb[kBlock] = {};
        const int64_t inodes = 4 * inode_blocks * cg_count;
        const int64_t free_blocks = cg_count * (cg_size - inode_blocks) - used_blocks;
        const int64_t free_inodes = inodes - static_cast<int64_t>(plans.size()) - 2;
        store_be32(sb + 0, static_cast<uint32_t>(sb_size));
        store_be32(sb + 4, static_cast<uint32_t>(first_cg));
        store_be32(sb + 8, static_cast<uint32_t>(cg_size));
        store_be16(sb + 12, static_cast<uint16_t>(inode_blocks));
        store_be16(sb + 14, static_cast<uint16_t>(fs.sectors));
        store_be16(sb + 16, static_cast<uint16_t>(fs.heads));
        store_be16(sb + 18, static_cast<uint16_t>(cg_count));
        store_be16(sb + 20, static_cast<uint16_t>(fs.dirty));
        store_be32(sb + 24, static_cast<uint32_t>(fs.time));
        store_be32(sb + 28, fs.damage.bad_magic ? 0x072958u : 0x072959u);
        store_chars(sb + 32, 6, fs.name);
        store_chars(sb + 38, 6, fs.pack);
        store_be32(sb + 44, static_cast<uint32_t>((sb_size + 7) / 8));
        auto free_count = [](bool zero, bool negative, int64_t count) {
            return negative ? 0xFFFFFFFFu : zero ? 0u : static_cast<uint32_t>(std::max<int64_t>(count, 1));
        };
        store_be32(sb + 48, free_count(fs.damage.zero_free_blocks, fs.damage.negative_free_blocks, free_blocks));
        store_be32(sb + 52, free_count(fs.damage.zero_free_inodes, fs.damage.negative_free_inodes, free_inodes));
        store_be32(sb + 56, 2);
        store_be32(sb + 60, static_cast<uint32_t>(sb_size - 1));
        store_be32(sb + 64, max_ino);
        uint32_t sum = superblock_checksum(sb);
        store_be32(sb + 88, fs.damage.bad_checksum ? sum ^ 0x1u : sum);
        return out.write((first_block + 1) * kBlock, sb, sizeof sb) &&
               out.write((first_block + sb_size - 1) * kBlock, sb, sizeof sb);
    }
};

FsBuild::FsBuild(const Fs& fs, int part_index) : w_(new FsWriter(fs, part_index)) {}
FsBuild::~FsBuild() { delete w_; }

int64_t FsBuild::size_blocks() const { return w_->sb_size; }

bool FsBuild::plan(std::string& error)
{
    FsWriter& w = *w_;
    w.collect_forced(w.fs.root);
    w.assign(w.fs.root, 2, std::to_string(w.part) + ":/", true);
    for (Plan& p : w.plans)
        if (!w.layout(p)) {
            error = w.error;
            return false;
        }
    if (!w.geometry()) {
        error = w.error;
        return false;
    }
    return true;
}

bool FsBuild::write(Out& out, int64_t first_block, Result& result)
{
    FsWriter& w = *w_;
    w.first_block = first_block;
    Allocator a{w.first_cg, w.cg_size, w.inode_blocks, w.cg_count};
    std::vector<uint8_t> buf(255 * kBlock);
    for (const Plan& p : w.plans) {
        if (p.ino / (4 * w.inode_blocks) >= static_cast<uint32_t>(w.cg_count)) {
            out.error = "inode " + std::to_string(p.ino) + " lies beyond the cylinder groups";
            return false;
        }
        if (!w.write_node(out, a, p, result, buf)) {
            if (out.error.empty()) out.error = w.error;
            return false;
        }
    }
    for (const auto& [key, ino] : w.links) {
        NodeInfo info;
        info.inode = ino;
        info.inode_offset = w.inode_pos(ino);
        result.nodes[key] = info;
    }
    return w.write_superblock(out, a.used);
}

}  // namespace imgb::detail
