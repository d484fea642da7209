// The manifest sink of the tree walk: one record per entry reached (metadata, hashes of exactly the
// bytes cp copies, and what is wrong with it), as JSON lines, a body file for mactime, or the lines
// sha256sum -c reads; then, on request, the inodes no directory reaches.
#pragma once
#include <cstdint>
#include <cstdio>

#include "host/host_io.h"

struct fs_statbuf;

enum manifest_format { MANIFEST_JSONL, MANIFEST_BODY, MANIFEST_SUMS };

struct manifest_options {
    manifest_format format = MANIFEST_JSONL;
    unsigned algorithms = 1u << HOST_SHA256;  // a bit per host_digest_kind
    bool orphans = false;                     // after the tree, every inode with a file type it did not reach
};

// Where the records go: a host file, or (file null) a stream such as standard output.
struct manifest_target {
    host_out* file;
    FILE* stream;
};

// The algorithm of a name ("md5", "sha1", "sha256", "sha512"); false for any other.
bool manifest_algorithm(const char* name, host_digest_kind* kind);

// Writes the manifest of `word` as the command named it (inode ino, stat st): a directory with its
// whole tree, any other entry alone. Damage is named in the records and the walk goes on; false
// only when a write failed (errno says why) or the digests could not be had.
bool manifest_tree(const char* word, uint32_t ino, const fs_statbuf& st, const manifest_options& o,
                   const manifest_target& to);
