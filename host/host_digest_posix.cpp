// Digests on POSIX hosts: OpenSSL's libcrypto, when the build found it.
#include <cerrno>
#include <new>

#include "host/host_io.h"

#ifdef EFSH_HAVE_HASHES
// The digests' own calls where libcrypto has them: EVP's first digest starts libcrypto's default
// provider, whose tables and the code they reach put over a megabyte on every manifest's memory
// for four algorithms efsh names itself. A libcrypto built without those calls is served by EVP.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/macros.h>
#if !defined(OPENSSL_NO_DEPRECATED_3_0)
#define EFSH_DIGEST_CALLS 1
#include <openssl/md5.h>
#include <openssl/sha.h>
#else
#include <openssl/crypto.h>
#include <openssl/evp.h>
#endif

bool host_digests_available()
{
    return true;
}

#ifdef EFSH_DIGEST_CALLS

struct host_digest {
    host_digest_kind kind;
    union {
        MD5_CTX md5;
        SHA_CTX sha1;
        SHA256_CTX sha256;
        SHA512_CTX sha512;
    };
};

static bool start(host_digest* d)
{
    switch (d->kind) {
    case HOST_MD5: return MD5_Init(&d->md5) == 1;
    case HOST_SHA1: return SHA1_Init(&d->sha1) == 1;
    case HOST_SHA256: return SHA256_Init(&d->sha256) == 1;
    default: return SHA512_Init(&d->sha512) == 1;
    }
}

// The digests' starts only set their constants: the one failure is a context not had.
host_digest* host_digest_open(host_digest_kind kind)
{
    auto* d = new (std::nothrow) host_digest{kind, {}};
    if (d)
        (void)start(d);
    else
        errno = ENOMEM;
    return d;
}

void host_digest_add(host_digest* d, const void* bytes, size_t len)
{
    if (len == 0)
        return;
    switch (d->kind) {
    case HOST_MD5: (void)MD5_Update(&d->md5, bytes, len); break;
    case HOST_SHA1: (void)SHA1_Update(&d->sha1, bytes, len); break;
    case HOST_SHA256: (void)SHA256_Update(&d->sha256, bytes, len); break;
    default: (void)SHA512_Update(&d->sha512, bytes, len); break;
    }
}

size_t host_digest_end(host_digest* d, uint8_t* out)
{
    size_t len = 0;
    switch (d->kind) {
    case HOST_MD5: len = MD5_Final(out, &d->md5) == 1 ? MD5_DIGEST_LENGTH : 0; break;
    case HOST_SHA1: len = SHA1_Final(out, &d->sha1) == 1 ? SHA_DIGEST_LENGTH : 0; break;
    case HOST_SHA256: len = SHA256_Final(out, &d->sha256) == 1 ? SHA256_DIGEST_LENGTH : 0; break;
    default: len = SHA512_Final(out, &d->sha512) == 1 ? SHA512_DIGEST_LENGTH : 0; break;
    }
    return start(d) ? len : 0;
}

void host_digest_close(host_digest* d)
{
    delete d;
}

#else

struct host_digest {
    EVP_MD_CTX* ctx;
    const EVP_MD* md;
};

host_digest* host_digest_open(host_digest_kind kind)
{
    // The host's openssl.cnf is never read: what efsh does comes from its command line alone (and
    // reading it costs half a megabyte).
    static bool started = OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) == 1;
    (void)started;
    const EVP_MD* md = kind == HOST_MD5 ? EVP_md5() : kind == HOST_SHA1 ? EVP_sha1() : kind == HOST_SHA256 ? EVP_sha256()
                                                                                                      : EVP_sha512();
    auto* d = new (std::nothrow) host_digest{EVP_MD_CTX_new(), md};
    if (!d || !d->ctx || EVP_DigestInit_ex(d->ctx, md, nullptr) != 1) {
        host_digest_close(d);
        errno = ENOMEM;
        return nullptr;
    }
    return d;
}

void host_digest_add(host_digest* d, const void* bytes, size_t len)
{
    if (len != 0)
        (void)EVP_DigestUpdate(d->ctx, bytes, len);
}

size_t host_digest_end(host_digest* d, uint8_t* out)
{
    unsigned len = 0;
    if (EVP_DigestFinal_ex(d->ctx, out, &len) != 1)
        len = 0;
    if (EVP_DigestInit_ex(d->ctx, d->md, nullptr) != 1)
        len = 0;
    return len;
}

void host_digest_close(host_digest* d)
{
    if (!d)
        return;
    EVP_MD_CTX_free(d->ctx);
    delete d;
}

#endif

#else

struct host_digest {};

bool host_digests_available()
{
    return false;
}

host_digest* host_digest_open(host_digest_kind)
{
    errno = ENOSYS;
    return nullptr;
}

void host_digest_add(host_digest*, const void*, size_t) {}

size_t host_digest_end(host_digest*, uint8_t*)
{
    return 0;
}

void host_digest_close(host_digest*) {}

#endif
