// Images for the fuzz targets, built with the project's image builder.
#include "fuzz/fuzz_images.h"

#include <utility>

namespace fuzz {

namespace {

using imgb::Kind;
using imgb::Node;

Node spread(const std::string& name, size_t size, int extent_blocks, uint32_t seed)
{
    Node n = imgb::file(name, imgb::pattern(size, seed));
    n.extent_blocks = extent_blocks;
    return n;
}

Node with_extents(const std::string& name, int extents, int indirect_blocks, uint32_t seed)
{
    Node n = imgb::file(name, imgb::pattern(static_cast<size_t>(extents) * 512 - 100, seed));
    n.extent_blocks = 1;
    n.extents = extents;
    n.indirect_extent_blocks = indirect_blocks;
    return n;
}

// A directory of `count` files packed `per_block` to a block, one block per extent: more than
// twelve blocks make it an indirect directory.
Node wide_dir(const std::string& name, int count, int per_block)
{
    std::vector<Node> kids;
    for (int i = 0; i < count; ++i)
        kids.push_back(imgb::file("f" + std::to_string(i), std::to_string(i) + "\n"));
    Node d = imgb::dir(name, std::move(kids));
    d.dir_entries_per_block = per_block;
    d.extent_blocks = 1;
    return d;
}

std::vector<Node> feature_tree()
{
    Node zeros = spread("holes", 2048, 1, 5);
    zeros.zero_length_at = {0, 2};
    Node old = imgb::file("old", "dated\n", 0600);
    old.mtime = 536870912;
    old.uid = 1001;
    old.gid = 20;
    return {
        imgb::dir("etc", {imgb::file("passwd", "root:x:0:0::/:/bin/sh\n"), imgb::file("motd", "welcome\n")}),
        imgb::dir("bin", {spread("sh", 3000, 1, 2), imgb::file("true", "")}),
        imgb::dir("usr", {imgb::dir("lib", {with_extents("big13", 13, 0, 3), with_extents("big70", 70, 1, 4)}),
                          wide_dir("share", 30, 2)}),
        imgb::dir("dev", {imgb::device(Kind::chardev, "tty", 0x0100), imgb::device(Kind::blockdev, "dsk", 0x0210)}),
        imgb::dir("tmp", {imgb::device(Kind::fifo, "fifo", 0), imgb::device(Kind::socket, "sock", 0), old, zeros}),
        imgb::symlink("lib", "usr/lib"),
        imgb::symlink("motd", "/etc/motd"),
    };
}

named_disk one(const std::string& name, std::vector<Node> kids)
{
    return {name, imgb::simple_disk(std::move(kids))};
}

named_disk damaged_node(const std::string& name, Node n)
{
    return one(name, {imgb::file("ok", "fine\n"), std::move(n)});
}

}  // namespace

imgb::Disk shell_disk()
{
    std::vector<Node> kids = feature_tree();
    kids.push_back(imgb::dir("a", {imgb::dir("b", {imgb::dir("c", {imgb::file("deep", "bottom\n")})}),
                                   spread("mid", 70000, 8, 9)}));
    kids.push_back(imgb::file("readme", "efsh fuzz image\n"));
    return imgb::simple_disk(std::move(kids));
}

std::vector<named_disk> seed_disks()
{
    std::vector<named_disk> out;
    out.push_back(one("features", feature_tree()));
    out.push_back(one("empty", {}));

    {
        imgb::Disk d;
        d.volume_directory = {{"sgilabel", 2, 512}, {"sash", 3, 1024}};
        const int32_t types[] = {7, 5, 7};
        const int indexes[] = {0, 1, 7};
        for (int i = 0; i < 3; ++i) {
            imgb::Partition p;
            p.index = indexes[i];
            p.type = types[i];
            p.fs = imgb::Fs{};
            p.fs->root.children = {imgb::file("part" + std::to_string(indexes[i]), "partition\n"),
                                   imgb::dir("d", {imgb::file("x", "x\n")})};
            d.partitions.push_back(std::move(p));
        }
        imgb::Partition data;
        data.index = 8;
        data.type = 3;
        data.block_count = 16;
        d.partitions.push_back(data);
        imgb::Partition whole;
        whole.index = 10;
        whole.type = 6;
        whole.first_block = 1;
        whole.block_count = 2048;
        d.partitions.push_back(whole);
        out.push_back({"partitions", std::move(d)});
    }

    {
        Node a = imgb::dir("a", {});
        a.inode = 40;
        Node up;
        up.name = "up";
        up.link_to = 2;
        Node self;
        self.name = "self";
        self.link_to = 40;
        a.children = {up, self, imgb::file("f", "in a\n")};
        out.push_back(one("cycle", {a}));
    }
    {
        // Each directory names the next one eight times: the number of paths through the chain
        // grows eightfold at every level, though it holds only twelve directories.
        Node last = imgb::dir("d11", {imgb::file("leaf", "leaf\n")});
        last.inode = 111;
        Node chain = last;
        for (int i = 10; i >= 0; --i) {
            Node d = imgb::dir("d" + std::to_string(i), {chain});
            d.inode = static_cast<uint32_t>(100 + i);
            for (int k = 0; k < 7; ++k) {
                Node again;
                again.name = "again" + std::to_string(k);
                again.link_to = static_cast<uint32_t>(101 + i);
                d.children.push_back(again);
            }
            chain = d;
        }
        out.push_back(one("diamonds", {chain}));
    }
    {
        // What the mount shows once or not at all: two entries of each name, a directory named in
        // two directories and twice in one, the root named twice in one directory, device numbers
        // wider than the kernel's and a link target holding a NUL.
        Node shared = imgb::dir("x", {imgb::file("in", "in\n")});
        shared.inode = 60;
        auto name_of = [](const std::string& name, uint32_t ino) {
            Node n;
            n.kind = Kind::dir;
            n.name = name;
            n.link_to = ino;
            return n;
        };
        Node a = imgb::dir("a", {shared, name_of("x2", 60), name_of("top", 2), name_of("top2", 2)});
        Node b = imgb::dir("b", {name_of("y", 60), imgb::file("dup", "first\n"), imgb::file("dup", "second\n")});
        Node blk = imgb::device(Kind::blockdev, "blk", 4104u << 18);
        Node chr = imgb::device(Kind::chardev, "chr", (4097u << 18) | 3u);
        blk.rdev_wide = chr.rdev_wide = true;
        out.push_back(one("shown_once", {a, b, imgb::dir("a", {}), blk, chr, imgb::symlink("nul", std::string("ab\0cd", 5))}));
    }
    {
        std::vector<Node> odd;
        const char* names[] = {"", "a/b", "..", ".", "-r", "with space"};
        for (const char* nm : names)
            odd.push_back(imgb::file(nm, "odd\n"));
        odd.push_back(imgb::file(std::string(255, 'n'), "long\n"));
        Node dotdir = imgb::dir("sub", {imgb::dir("..", {imgb::file("escape", "x\n")})});
        odd.push_back(dotdir);
        out.push_back(one("names", odd));
    }

    using imgb::NodeDamage;
    const Node f4 = with_extents("f", 4, 0, 6);
    const Node f13 = with_extents("f", 13, 0, 7);
    const Node f70 = with_extents("f", 70, 1, 8);
    const Node wide = wide_dir("d", 30, 2);
    const struct {
        const char* name;
        const Node& base;
        NodeDamage damage;
    } broken[] = {
        {"bad_extent_magic", f4, NodeDamage{.bad_extent_magic_slot = 1}},
        {"extent_count_13_direct", f4, NodeDamage{.raw_extent_count = 13}},
        {"extent_count_negative", f4, NodeDamage{.raw_extent_count = -3}},
        {"indirect_count_20", f70, NodeDamage{.raw_indirect_count = 20}},
        {"indirect_count_0", f13, NodeDamage{.raw_indirect_count = 0}},
        {"size_negative", f13, NodeDamage{.raw_size = -1}},
        {"size_large", f4, NodeDamage{.raw_size = 0x7FFFFFFF}},
        {"offset_gap", f70, NodeDamage{.break_invariant_at = 2}},
        {"long_extent", f13, NodeDamage{.long_extent_at = 1}},
        {"extent_past_image", f4, NodeDamage{.extent_past_image_at = 3}},
        {"dir_bad_magic", wide, NodeDamage{.bad_dir_magic_blocks = {0, 5}}},
        {"dir_entry_past_end", wide, NodeDamage{.entry_past_end = true}},
        {"dir_slots_255", wide, NodeDamage{.slot_count_255_block = 1}},
        {"dir_offset_gap", wide, NodeDamage{.break_invariant_at = 3}},
        {"dir_count_negative", wide, NodeDamage{.raw_extent_count = -1}},
    };
    for (const auto& b : broken) {
        Node n = b.base;
        n.damage = b.damage;
        out.push_back(damaged_node(b.name, std::move(n)));
    }

    {
        named_disk n = one("fs_zero_free", {imgb::file("f", "x\n")});
        n.disk.partitions[0].fs->damage.zero_free_blocks = true;
        out.push_back(std::move(n));
    }
    {
        named_disk n = one("fs_bad_magic", {imgb::file("f", "x\n")});
        n.disk.partitions[0].fs->damage.bad_magic = true;
        out.push_back(std::move(n));
    }
    {
        named_disk n = one("truncated", feature_tree());
        n.disk.damage.truncate_to = 40 * 512;
        out.push_back(std::move(n));
    }
    {
        named_disk n = one("bad_disk_magic", {imgb::file("f", "x\n")});
        n.disk.damage.bad_magic = true;
        out.push_back(std::move(n));
    }
    return out;
}

imgb::Result write_compact(imgb::Disk d, const std::string& path)
{
    d.cylinders = 16;
    if (!d.partitions.empty() && d.partitions[0].first_block == 0)
        d.partitions[0].first_block = 1;
    imgb::Result r;
    for (int32_t cg_size = 32; cg_size <= 8192; cg_size += cg_size < 128 ? 8 : cg_size / 16) {
        imgb::Disk t = d;
        for (imgb::Partition& p : t.partitions) {
            if (p.fs && p.fs->cg_size == 0) {
                p.fs->cg_count = 1;
                p.fs->cg_size = cg_size;
            }
        }
        r = imgb::write_image(t, path);
        if (r.ok)
            return r;
    }
    return r;
}

}  // namespace fuzz
