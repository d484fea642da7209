// A gzip stream (level 6) written piece by piece, for tar -z.
#pragma once
#include <cstddef>
#include <cstdint>

struct gzip_out;

// Where the compressed bytes go: false when they could not be written (the stream then ends).
using gzip_sink = bool (*)(void* ctx, const void* bytes, size_t len);

// Null when this build has no zlib or memory is short; *why says which.
gzip_out* gzip_open(gzip_sink sink, void* ctx, const char** why);

// Compresses len bytes; last ends the stream (its trailer included). The same bytes in the same
// pieces give the same stream on every host. False once the sink has failed.
bool gzip_write(gzip_out* g, const uint8_t* data, size_t len, bool last);

void gzip_close(gzip_out* g);
