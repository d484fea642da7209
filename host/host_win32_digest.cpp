// Digests on Windows: the system's CNG (bcrypt). An algorithm provider is costly to open and is
// kept for the whole run; each message has a hash object of its own.
#include <cerrno>
#include <new>
#include <windows.h>
#include <bcrypt.h>

#include "host/host_io.h"

struct host_digest {
    BCRYPT_HASH_HANDLE hash;
    host_digest_kind kind;
};

namespace {

BCRYPT_ALG_HANDLE providers[HOST_DIGEST_KINDS];

BCRYPT_ALG_HANDLE provider(host_digest_kind kind)
{
    static const wchar_t* const names[HOST_DIGEST_KINDS] = {BCRYPT_MD5_ALGORITHM, BCRYPT_SHA1_ALGORITHM,
                                                            BCRYPT_SHA256_ALGORITHM, BCRYPT_SHA512_ALGORITHM};
    if (!providers[kind] && BCryptOpenAlgorithmProvider(&providers[kind], names[kind], nullptr, 0) != 0)
        providers[kind] = nullptr;
    return providers[kind];
}

bool start(host_digest* d)
{
    BCRYPT_ALG_HANDLE p = provider(d->kind);
    d->hash = nullptr;
    return p && BCryptCreateHash(p, &d->hash, nullptr, 0, nullptr, 0, 0) == 0;
}

}  // namespace

bool host_digests_available()
{
    return true;
}

host_digest* host_digest_open(host_digest_kind kind)
{
    auto* d = new (std::nothrow) host_digest{nullptr, kind};
    if (!d || !start(d)) {
        delete d;
        errno = ENOMEM;
        return nullptr;
    }
    return d;
}

void host_digest_add(host_digest* d, const void* bytes, size_t len)
{
    // CNG takes at most 4 GiB less one byte per call.
    const auto* p = static_cast<const UCHAR*>(bytes);
    while (len > 0 && d->hash) {
        ULONG k = len > 0x40000000u ? 0x40000000u : static_cast<ULONG>(len);
        (void)BCryptHashData(d->hash, const_cast<PUCHAR>(p), k, 0);
        p += k;
        len -= k;
    }
}

size_t host_digest_end(host_digest* d, uint8_t* out)
{
    static const ULONG lengths[HOST_DIGEST_KINDS] = {16, 20, 32, 64};
    ULONG len = lengths[d->kind];
    bool ok = d->hash && BCryptFinishHash(d->hash, out, len, 0) == 0;
    if (d->hash)
        BCryptDestroyHash(d->hash);
    ok = start(d) && ok;
    return ok ? len : 0;
}

void host_digest_close(host_digest* d)
{
    if (!d)
        return;
    if (d->hash)
        BCryptDestroyHash(d->hash);
    delete d;
}
