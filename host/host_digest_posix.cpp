// Digests on POSIX hosts: OpenSSL's libcrypto through its EVP interface, when the build found it.
#include <cerrno>
#include <new>

#include "host/host_io.h"

#ifdef EFSH_HAVE_HASHES
#include <openssl/crypto.h>
#include <openssl/evp.h>

struct host_digest {
    EVP_MD_CTX* ctx;
    const EVP_MD* md;
};

bool host_digests_available()
{
    return true;
}

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
