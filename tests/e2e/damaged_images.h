// The corruption suite's damaged images, described once: efsh runs them (corruption_test.cpp),
// and efsh-mount mounts them (mount_test.cpp).
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/image_builder.h"

// ---------------------------------------------------------------------------------------------
// A header or superblock that does not pass: efsh says why and never reaches the prompt.

constexpr int32_t kFirstBlock = 64;  // the partition's place in the images of start failures and cuts

struct StartCase {
    const char* name;
    imgb::DiskDamage disk{};
    imgb::FsDamage fs{};
    std::string err{};  // efsh's message for `-p 7 image`; "{image}" stands for the image's name
};

// A case's message for an image of the given name.
std::string start_err(const StartCase& c, const std::string& image);

extern const std::vector<StartCase> kStartCases;

// The image of a start failure: one file at partition 7, the damage applied.
imgb::Disk start_disk(const StartCase& c);

// ---------------------------------------------------------------------------------------------
// One damaged node in a tree of two files and two directories, each kind laid out with direct
// extents and with indirect ones.

constexpr int kAll = -2;   // the whole directory or file
constexpr int kNone = -1;  // the directory cannot be opened

struct NodeCase {
    const char* name = "";
    char target = 'f';                   // f, g: files with direct and indirect extents; d, e: directories
    imgb::NodeDamage damage{};
    std::string inode_error{};      // the inode cannot be used: each command reports this message
    int64_t bytes = kAll;           // what more and cp deliver of the data, from its start
    bool read_error = false;        // ... followed by "fs_fread: Read error"
    std::optional<int32_t> size{};  // ls -l's size column when the damage changes it
    int listed = kAll;              // directories: entries ls lists inside, in order (kNone: none, with a message)
    // Directories, as the tree walks salvage them: the children they cannot reach (indexes into
    // children_of; kAll: every one) and what they say of the damage after "/d: " (empty: none).
    std::vector<int> lost{};
    std::string salvage{};
};

extern const std::vector<NodeCase> kNodeCases;

constexpr int kEChildren = 13;

// f, g, d, e and a sound file ok, the case's damage on its target.
std::vector<imgb::Node> damage_tree(const NodeCase& c);

// The children of d or e in directory order, each with its size.
std::vector<std::pair<std::string, int>> children_of(char target);

// ---------------------------------------------------------------------------------------------
// An image cut short after the superblock: what lies past the cut reads as errors.

struct CutCase {
    std::string name;
    imgb::Disk disk;
    std::string path;  // the node the cut goes through, e.g. "/far"
    int extent;        // -1: through its inode; else through this data extent
    int64_t at;        // bytes into the inode's block, or into the extent, where the image ends
};

std::vector<CutCase> cut_cases();

// Builds the image whole to learn where the node lies, then again cut there.
imgb::Result write_cut_image(const CutCase& c, const std::string& path);

// ---------------------------------------------------------------------------------------------
// Crafted directories that cp -r and tar (and every tree walk) salvage: the builder's images with
// patched bytes, partition 7 at kFirstBlock.

struct SalvageImage {
    const char* name;
    std::function<bool(const std::string& path)> write;  // false: the image could not be made
    std::string top;                     // the damaged directory
    std::vector<std::string> salvaged;   // what the walks take of it, as host_tree gives a copy of it
    std::string report;                  // what each walk says of the damage, once
};

// A bad block inside a directory's one extent; a directory without its "." entry; the memory
// bomb (sb_size 0x7FFFFFF0, 32767 extents over the same 248 blocks of 196 entries each).
std::vector<SalvageImage> salvage_images();
