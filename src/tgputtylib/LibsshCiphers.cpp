// libssh2 is linked into this library with its three lookups of OpenSSL's AES counter mode
// redirected here (the linker's --wrap), so that its connections run on the faster counter
// mode. Where that cannot be made, OpenSSL's own serves.

#include "tgputtylib/CounterModeCipher.h"

#include <openssl/evp.h>

extern "C" {

const EVP_CIPHER* __real_EVP_aes_128_ctr(void);
const EVP_CIPHER* __real_EVP_aes_192_ctr(void);
const EVP_CIPHER* __real_EVP_aes_256_ctr(void);

const EVP_CIPHER* __wrap_EVP_aes_128_ctr(void) {
    const EVP_CIPHER* c = tgputty::bulkCounterMode(16);
    return c ? c : __real_EVP_aes_128_ctr();
}

const EVP_CIPHER* __wrap_EVP_aes_192_ctr(void) {
    const EVP_CIPHER* c = tgputty::bulkCounterMode(24);
    return c ? c : __real_EVP_aes_192_ctr();
}

const EVP_CIPHER* __wrap_EVP_aes_256_ctr(void) {
    const EVP_CIPHER* c = tgputty::bulkCounterMode(32);
    return c ? c : __real_EVP_aes_256_ctr();
}

} // extern "C"
