// Directory blocks of the image builder: packing entries into 512-byte blocks.
#include "tests/support/image_builder_internal.h"

namespace imgb::detail {

namespace {

size_t entry_bytes(const DirEntry& e) { return (5 + e.name.size() + 1) & ~size_t{1}; }

void store_entry(std::string& block, size_t pos, const DirEntry& e)
{
    auto* p = reinterpret_cast<uint8_t*>(block.data()) + pos;
    store_be16(p, static_cast<uint16_t>(e.inode >> 16));
    store_be16(p + 2, static_cast<uint16_t>(e.inode));
    p[4] = static_cast<uint8_t>(e.name.size());
    for (size_t i = 0; i < e.name.size(); ++i) p[5 + i] = static_cast<uint8_t>(e.name[i]);
}

}  // namespace

std::string empty_dir_block()
{
    std::string b(kBlock, '\0');
    store_be16(reinterpret_cast<uint8_t*>(b.data()), 0xBEEF);
    return b;
}

bool pack_dir(const std::vector<DirEntry>& entries, int per_block, std::vector<std::string>& blocks,
              std::string& error)
{
    size_t i = 0;
    while (i < entries.size() || blocks.empty()) {
        std::string b = empty_dir_block();
        size_t top = kBlock;   // entries grow downward from the end
        size_t count = 0;
        while (i < entries.size() && (per_block <= 0 || count < static_cast<size_t>(per_block)) &&
               count < 255) {
            const DirEntry& e = entries[i];
            if (e.name.size() > 255) {
                error = "directory entry name longer than 255 bytes";
                return false;
            }
            size_t need = entry_bytes(e);
            if (top < need || top - need < 4 + count + 1) break;
            top -= need;
            store_entry(b, top, e);
            b[4 + count] = static_cast<char>(top / 2);
            ++count;
            ++i;
        }
        if (count == 0 && i < entries.size()) {
            error = "directory entry does not fit a block";
            return false;
        }
        b[3] = static_cast<char>(count);
        blocks.push_back(std::move(b));
    }
    return true;
}

std::string past_end_dir_block(uint32_t inode)
{
    std::string b = empty_dir_block();
    const size_t pos = 500;   // a 255-byte name from here runs far past the block's end
    store_entry(b, pos, DirEntry{inode, ""});
    auto* p = reinterpret_cast<uint8_t*>(b.data()) + pos;
    p[4] = 255;
    for (size_t k = 5; pos + k < static_cast<size_t>(kBlock); ++k) p[k] = 'x';
    b[3] = 1;
    b[4] = static_cast<char>(pos / 2);
    return b;
}

}  // namespace imgb::detail
