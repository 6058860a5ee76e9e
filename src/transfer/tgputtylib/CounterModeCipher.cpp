// OpenSSL 3 still offers engines and legacy cipher methods, the one way to stand in for the
// ciphers that libssh2 asks for by EVP_aes_*_ctr(); both are marked deprecated.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "transfer/tgputtylib/CounterModeCipher.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#ifndef OPENSSL_NO_ENGINE
#include <openssl/engine.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace tgputty {

#ifndef OPENSSL_NO_ENGINE
namespace {

constexpr const char* EngineId = "orvel-aes-ctr";
constexpr std::size_t BlockSize = 16;
constexpr std::size_t StreamBytes = 256 * BlockSize;

// The state of one cipher context; OpenSSL allocates it zeroed and clears it when it frees it.
struct CounterStream {
    EVP_CIPHER_CTX* aes;       // single-block AES under the key, made to encrypt the counter blocks
    std::uint64_t counterHigh; // the next counter block, a 128-bit big-endian number
    std::uint64_t counterLow;
    std::size_t used; // bytes of keyStream already used
    unsigned char keyStream[StreamBytes];
};

CounterStream* streamOf(EVP_CIPHER_CTX* ctx) {
    return static_cast<CounterStream*>(EVP_CIPHER_CTX_get_cipher_data(ctx));
}

std::uint64_t loadBigEndian(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 8) | p[i];
    return v;
}

// The compilers make this one byte-swapping instruction.
constexpr std::uint64_t byteSwapped(std::uint64_t v) {
    v = ((v & 0x00ff00ff00ff00ffULL) << 8) | ((v >> 8) & 0x00ff00ff00ff00ffULL);
    v = ((v & 0x0000ffff0000ffffULL) << 16) | ((v >> 16) & 0x0000ffff0000ffffULL);
    return (v << 32) | (v >> 32);
}

// Stores in one go what byte-wise stores would make the next 16-byte load wait for.
void storeBigEndian(unsigned char* p, std::uint64_t v) {
    if constexpr (std::endian::native == std::endian::little)
        v = byteSwapped(v);
    std::memcpy(p, &v, 8);
}

const EVP_CIPHER* blockCipherFor(int keyLength) {
    switch (keyLength) {
    case 16:
        return EVP_aes_128_ecb();
    case 24:
        return EVP_aes_192_ecb();
    case 32:
        return EVP_aes_256_ecb();
    default:
        return nullptr;
    }
}

int initStream(EVP_CIPHER_CTX* ctx, const unsigned char* key, const unsigned char* iv, int) {
    CounterStream* s = streamOf(ctx);
    if (key) {
        const EVP_CIPHER* aes = blockCipherFor(EVP_CIPHER_CTX_get_key_length(ctx));
        if (!aes)
            return 0;
        if (!s->aes && !(s->aes = EVP_CIPHER_CTX_new()))
            return 0;
        if (EVP_EncryptInit_ex(s->aes, aes, nullptr, key, nullptr) != 1 ||
            EVP_CIPHER_CTX_set_padding(s->aes, 0) != 1)
            return 0;
    }
    if (iv) {
        s->counterHigh = loadBigEndian(iv);
        s->counterLow = loadBigEndian(iv + 8);
    }
    // A new key or counter starts a new key stream.
    s->used = StreamBytes;
    return 1;
}

bool refill(CounterStream* s) {
    for (std::size_t at = 0; at < StreamBytes; at += BlockSize) {
        storeBigEndian(s->keyStream + at, s->counterHigh);
        storeBigEndian(s->keyStream + at + 8, s->counterLow);
        if (++s->counterLow == 0)
            ++s->counterHigh;
    }
    int written = 0;
    if (EVP_EncryptUpdate(s->aes, s->keyStream, &written, s->keyStream,
                          static_cast<int>(StreamBytes)) != 1 ||
        written != static_cast<int>(StreamBytes))
        return false;
    s->used = 0;
    return true;
}

void xorInto(unsigned char* out, const unsigned char* in, const unsigned char* key, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t a, b;
        std::memcpy(&a, in + i, 8);
        std::memcpy(&b, key + i, 8);
        a ^= b;
        std::memcpy(out + i, &a, 8);
    }
    for (; i < n; ++i)
        out[i] = in[i] ^ key[i];
}

// A custom cipher in OpenSSL's sense: returns the bytes written, or -1 on failure (which is
// also what libssh2 checks for).
int cryptStream(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in,
                std::size_t length) {
    if (!in) // the final call: a stream cipher has nothing left
        return 0;
    CounterStream* s = streamOf(ctx);
    if (!s->aes || length > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return -1;
    // libssh2 asks for one block at a time: that case goes straight.
    if (length == BlockSize && s->used + BlockSize <= StreamBytes) {
        xorInto(out, in, s->keyStream + s->used, BlockSize);
        s->used += BlockSize;
        return static_cast<int>(BlockSize);
    }
    const std::size_t total = length;
    while (length > 0) {
        if (s->used == StreamBytes && !refill(s))
            return -1;
        const std::size_t n = std::min(length, StreamBytes - s->used);
        xorInto(out, in, s->keyStream + s->used, n);
        s->used += n;
        in += n;
        out += n;
        length -= n;
    }
    return static_cast<int>(total);
}

int controlStream(EVP_CIPHER_CTX* ctx, int type, int, void* ptr) {
    if (type != EVP_CTRL_COPY)
        return -1;
    // OpenSSL has copied the state byte for byte; the copy needs an AES context of its own.
    CounterStream* from = streamOf(ctx);
    CounterStream* to = streamOf(static_cast<EVP_CIPHER_CTX*>(ptr));
    to->aes = nullptr;
    if (!from->aes)
        return 1;
    to->aes = EVP_CIPHER_CTX_new();
    return to->aes && EVP_CIPHER_CTX_copy(to->aes, from->aes) == 1 ? 1 : 0;
}

int cleanupStream(EVP_CIPHER_CTX* ctx) {
    CounterStream* s = streamOf(ctx);
    if (s) {
        EVP_CIPHER_CTX_free(s->aes);
        s->aes = nullptr;
        OPENSSL_cleanse(s->keyStream, sizeof s->keyStream);
    }
    return 1;
}

constexpr std::array<int, 3> Nids = {NID_aes_128_ctr, NID_aes_192_ctr, NID_aes_256_ctr};
std::array<EVP_CIPHER*, 3> s_ciphers{};

EVP_CIPHER* makeCipher(int nid, int keyLength) {
    EVP_CIPHER* c = EVP_CIPHER_meth_new(nid, 1, keyLength);
    if (!c)
        return nullptr;
    if (EVP_CIPHER_meth_set_iv_length(c, BlockSize) != 1 ||
        EVP_CIPHER_meth_set_flags(c, EVP_CIPH_CTR_MODE | EVP_CIPH_FLAG_CUSTOM_CIPHER |
                                         EVP_CIPH_CUSTOM_COPY | EVP_CIPH_ALWAYS_CALL_INIT) != 1 ||
        EVP_CIPHER_meth_set_init(c, initStream) != 1 ||
        EVP_CIPHER_meth_set_do_cipher(c, cryptStream) != 1 ||
        EVP_CIPHER_meth_set_ctrl(c, controlStream) != 1 ||
        EVP_CIPHER_meth_set_cleanup(c, cleanupStream) != 1 ||
        EVP_CIPHER_meth_set_impl_ctx_size(c, sizeof(CounterStream)) != 1) {
        EVP_CIPHER_meth_free(c);
        return nullptr;
    }
    return c;
}

int engineCiphers(ENGINE*, const EVP_CIPHER** cipher, const int** nids, int nid) {
    if (!cipher) {
        *nids = Nids.data();
        return static_cast<int>(Nids.size());
    }
    for (std::size_t i = 0; i < Nids.size(); ++i) {
        if (Nids[i] == nid) {
            *cipher = s_ciphers[i];
            return 1;
        }
    }
    *cipher = nullptr;
    return 0;
}

bool install() {
    for (std::size_t i = 0; i < Nids.size(); ++i) {
        if (!(s_ciphers[i] = makeCipher(Nids[i], static_cast<int>(16 + 8 * i))))
            return false;
    }
    ENGINE* e = ENGINE_new();
    if (!e)
        return false;
    bool ok = ENGINE_set_id(e, EngineId) == 1 && ENGINE_set_name(e, "AES counter mode") == 1 &&
              ENGINE_set_ciphers(e, engineCiphers) == 1 && ENGINE_init(e) == 1;
    if (ok) {
        // The cipher tables keep their own reference to the engine.
        ok = ENGINE_set_default_ciphers(e) == 1;
        ENGINE_finish(e);
    }
    ENGINE_free(e);
    return ok;
}

} // namespace

bool installBulkCounterMode() {
    // The library is never unloaded (it is linked so), so OpenSSL may keep these functions.
    static const bool installed = install();
    return installed;
}

#else

bool installBulkCounterMode() {
    return false;
}

#endif

} // namespace tgputty
