// Image builder: volume header, partition placement, the sparse output file and small helpers.
#include "tests/support/image_builder.h"

#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "tests/support/image_builder_internal.h"

namespace imgb {

using detail::kBlock;
using detail::store_be16;
using detail::store_be32;

namespace detail {

bool Out::write(int64_t offset, const void* data, size_t len)
{
    const auto* p = static_cast<const uint8_t*>(data);
    while (len > 0) {
        ssize_t n = pwrite(fd, p, len, static_cast<off_t>(offset));
        if (n <= 0) {
            if (error.empty()) error = "write failed at offset " + std::to_string(offset);
            return false;
        }
        p += n;
        offset += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace detail

namespace {

constexpr uint32_t kVolumeMagic = 0x0BE5A941;
constexpr int32_t kFirstAutoBlock = 64;

void build_header(const Disk& d, const std::vector<Partition>& parts, uint8_t* h)
{
    store_be32(h + 0, d.damage.bad_magic ? kVolumeMagic ^ 0x10u : kVolumeMagic);
    store_be16(h + 4, static_cast<uint16_t>(d.root_partition));
    store_be16(h + 6, static_cast<uint16_t>(d.swap_partition));
    detail::store_chars(h + 8, 16, d.boot_file);
    store_be16(h + 28, d.cylinders);
    store_be16(h + 32, d.tracks_per_cyl);
    store_be16(h + 38, d.sectors_per_track);
    store_be16(h + 40, d.sector_length);
    store_be16(h + 42, 1);   // sector interleave
    store_be32(h + 44, d.controller_flags);
    for (size_t i = 0; i < d.volume_directory.size() && i < 15; ++i) {
        const VolDirEntry& e = d.volume_directory[i];
        uint8_t* p = h + 72 + 16 * i;
        detail::store_chars(p, 8, e.name);
        store_be32(p + 8, static_cast<uint32_t>(e.block_number));
        store_be32(p + 12, static_cast<uint32_t>(e.byte_count));
    }
    for (const Partition& p : parts) {
        uint8_t* e = h + 312 + 12 * p.index;
        store_be32(e + 0, static_cast<uint32_t>(p.block_count));
        store_be32(e + 4, static_cast<uint32_t>(p.first_block));
        store_be32(e + 8, static_cast<uint32_t>(p.type));
    }
    uint32_t sum = 0;
    for (int i = 0; i < 126; ++i) sum += detail::read_be32(h + 4 * i);
    uint32_t check = 0u - sum;
    store_be32(h + 504, d.damage.bad_checksum ? check + 1 : check);
    store_be32(h + 508, static_cast<uint32_t>(d.fill));
}

Result fail(Result r, const std::string& why)
{
    r.ok = false;
    r.error = why;
    return r;
}

}  // namespace

Result write_image(const Disk& d, const std::string& path)
{
    Result r;
    std::vector<Partition> parts = d.partitions;
    std::vector<std::unique_ptr<detail::FsBuild>> builds;
    int64_t next_block = kFirstAutoBlock;
    int64_t end_block = 1;
    for (Partition& p : parts) {
        if (p.index < 0 || p.index > 15) return fail(r, "partition index out of range");
        int64_t size = p.block_count;
        builds.emplace_back();
        if (p.fs) {
            auto b = std::make_unique<detail::FsBuild>(*p.fs, p.index);
            std::string err;
            if (!b->plan(err)) return fail(r, err);
            if (size == 0) size = b->size_blocks();
            builds.back() = std::move(b);
        }
        if (p.first_block == 0) p.first_block = static_cast<int32_t>(next_block);
        if (size > 0x7FFFFFFF || p.first_block + size > 0x7FFFFFFF) return fail(r, "partition too large");
        p.block_count = static_cast<int32_t>(size);
        next_block = p.first_block + size;
        if (p.fs) end_block = std::max(end_block, next_block);
    }

    detail::Out out;
    out.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out.fd < 0) return fail(r, "cannot create " + path);
    bool ok = true;
    for (size_t i = 0; ok && i < parts.size(); ++i)
        if (builds[i]) ok = builds[i]->write(out, parts[i].first_block, r);
    if (ok) {
        uint8_t h[kBlock] = {};
        build_header(d, parts, h);
        ok = out.write(0, h, sizeof h);
    }
    int64_t size = d.damage.truncate_to >= 0 ? d.damage.truncate_to : end_block * kBlock;
    if (ok && ftruncate(out.fd, static_cast<off_t>(size)) != 0) {
        out.error = "cannot set the image size";
        ok = false;
    }
    if (close(out.fd) != 0 && ok) {
        out.error = "close failed";
        ok = false;
    }
    if (!ok) return fail(r, out.error.empty() ? "write failed" : out.error);
    r.ok = true;
    r.image_size = static_cast<uint64_t>(size);
    return r;
}

uint32_t superblock_checksum(const uint8_t* bytes)
{
    uint32_t c = 0;
    for (int i = 0; i < 44; ++i) {
        c ^= static_cast<uint32_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]);
        c = (c << 1) | (c >> 31);
    }
    return c;
}

namespace {

uint64_t mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace

void pattern_fill(uint8_t* dst, uint64_t offset, size_t len, uint32_t seed)
{
    const uint64_t key = static_cast<uint64_t>(seed) << 40;
    size_t i = 0;
    while (i < len) {
        const uint64_t pos = offset + i;
        const uint64_t word = mix(key ^ (pos / 8));
        for (uint64_t b = pos % 8; b < 8 && i < len; ++b, ++i) dst[i] = static_cast<uint8_t>(word >> (8 * b));
    }
}

std::string pattern(size_t n, uint32_t seed)
{
    std::string s(n, '\0');
    pattern_fill(reinterpret_cast<uint8_t*>(s.data()), 0, n, seed);
    return s;
}

bool patch(const std::string& path, int64_t offset, const std::vector<uint8_t>& bytes)
{
    detail::Out out;
    out.fd = open(path.c_str(), O_WRONLY);
    if (out.fd < 0) return false;
    bool ok = out.write(offset, bytes.data(), bytes.size());
    return close(out.fd) == 0 && ok;
}

namespace {

Node make(Kind kind, const std::string& name, uint16_t perm)
{
    Node n;
    n.kind = kind;
    n.name = name;
    n.perm = perm;
    return n;
}

}  // namespace

Node file(const std::string& name, const std::string& data, uint16_t perm)
{
    Node n = make(Kind::file, name, perm);
    n.data = data;
    return n;
}

Node dir(const std::string& name, std::vector<Node> children, uint16_t perm)
{
    Node n = make(Kind::dir, name, perm);
    n.children = std::move(children);
    return n;
}

Node symlink(const std::string& name, const std::string& target)
{
    Node n = make(Kind::symlink, name, 0777);
    n.data = target;
    return n;
}

Node device(Kind kind, const std::string& name, uint32_t rdev, uint16_t perm)
{
    Node n = make(kind, name, perm);
    n.rdev = rdev;
    return n;
}

Disk simple_disk(std::vector<Node> children)
{
    Disk d;
    Partition p;
    p.fs = Fs{};
    p.fs->root.children = std::move(children);
    d.partitions.push_back(std::move(p));
    return d;
}

}  // namespace imgb
