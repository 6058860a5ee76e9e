// A cipher of one's own is still made with OpenSSL's legacy cipher methods, which OpenSSL 3
// marks deprecated.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "tgputtylib/CounterModeCipher.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace tgputty {

namespace {

constexpr std::size_t BlockSize = 16;
constexpr std::size_t StreamBytes = 256 * BlockSize;

// The state of one cipher context; OpenSSL allocates it zeroed and clears it when it frees it.
struct CounterStream {
    EVP_CIPHER_CTX* aes;       // single-block AES under the key, made to encrypt the counter blocks
    std::uint64_t counterHigh; // the next counter block, a 128-bit big-endian number
    std::uint64_t counterLow;
    std::size_t left; // bytes at the end of keyStream not used yet (none in a new state)
    unsigned char keyStream[StreamBytes];
};

CounterStream* streamOf(EVP_CIPHER_CTX* ctx) {
    return static_cast<CounterStream*>(EVP_CIPHER_CTX_get_cipher_data(ctx));
}

// The compilers make this one byte-swapping instruction.
constexpr std::uint64_t byteSwapped(std::uint64_t v) {
    v = ((v & 0x00ff00ff00ff00ffULL) << 8) | ((v >> 8) & 0x00ff00ff00ff00ffULL);
    v = ((v & 0x0000ffff0000ffffULL) << 16) | ((v >> 16) & 0x0000ffff0000ffffULL);
    return (v << 32) | (v >> 32);
}

constexpr std::uint64_t bigEndian(std::uint64_t v) {
    return std::endian::native == std::endian::little ? byteSwapped(v) : v;
}

std::uint64_t loadBigEndian(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return bigEndian(v);
}

// Stores in one go what byte-wise stores would make the next 16-byte load wait for.
void storeBigEndian(unsigned char* p, std::uint64_t v) {
    v = bigEndian(v);
    std::memcpy(p, &v, 8);
}

// The three key lengths: the counter mode's name, and the AES that makes its key stream.
struct AesVariant {
    int keyLength;
    int counterModeNid;
    const EVP_CIPHER* (*blockCipher)();
};
constexpr std::array<AesVariant, 3> Variants = {{{16, NID_aes_128_ctr, EVP_aes_128_ecb},
                                                 {24, NID_aes_192_ctr, EVP_aes_192_ecb},
                                                 {32, NID_aes_256_ctr, EVP_aes_256_ecb}}};

// The index into Variants for a key length, or -1.
int variantFor(int keyLength) {
    for (std::size_t i = 0; i < Variants.size(); ++i)
        if (Variants[i].keyLength == keyLength)
            return static_cast<int>(i);
    return -1;
}

int initStream(EVP_CIPHER_CTX* ctx, const unsigned char* key, const unsigned char* iv, int) {
    CounterStream* s = streamOf(ctx);
    if (iv) {
        s->counterHigh = loadBigEndian(iv);
        s->counterLow = loadBigEndian(iv + 8);
    } else {
        // Going on with the same counter: the next block is the one after the last one used,
        // as in OpenSSL's counter mode; the blocks made ahead and not used are made again.
        const std::uint64_t unused = s->left / BlockSize;
        if (s->counterLow < unused)
            --s->counterHigh;
        s->counterLow -= unused;
    }
    // The old key stream goes before anything can fail: a failed new key leaves nothing to
    // encrypt with.
    OPENSSL_cleanse(s->keyStream, sizeof s->keyStream);
    s->left = 0;
    if (key) {
        const int v = variantFor(EVP_CIPHER_CTX_get_key_length(ctx));
        if (v >= 0 && (s->aes || (s->aes = EVP_CIPHER_CTX_new())) &&
            EVP_EncryptInit_ex(s->aes, Variants[v].blockCipher(), nullptr, key, nullptr) == 1 &&
            EVP_CIPHER_CTX_set_padding(s->aes, 0) == 1)
            return 1;
        EVP_CIPHER_CTX_free(s->aes);
        s->aes = nullptr;
        return 0;
    }
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
    s->left = StreamBytes;
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
    if (length == BlockSize && s->left >= BlockSize) {
        xorInto(out, in, s->keyStream + StreamBytes - s->left, BlockSize);
        s->left -= BlockSize;
        return static_cast<int>(BlockSize);
    }
    const std::size_t total = length;
    while (length > 0) {
        if (s->left == 0 && !refill(s))
            return -1;
        const std::size_t n = std::min(length, s->left);
        xorInto(out, in, s->keyStream + StreamBytes - s->left, n);
        s->left -= n;
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
    if (to->aes && EVP_CIPHER_CTX_copy(to->aes, from->aes) == 1)
        return 1;
    EVP_CIPHER_CTX_free(to->aes);
    to->aes = nullptr;
    return 0;
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

} // namespace

const EVP_CIPHER* bulkCounterMode(int keyLength) {
    // Made once, kept for the life of the process.
    static const std::array<EVP_CIPHER*, Variants.size()> ciphers = [] {
        std::array<EVP_CIPHER*, Variants.size()> made{};
        for (std::size_t i = 0; i < Variants.size(); ++i)
            made[i] = makeCipher(Variants[i].counterModeNid, Variants[i].keyLength);
        return made;
    }();
    const int v = variantFor(keyLength);
    return v < 0 ? nullptr : ciphers[static_cast<std::size_t>(v)];
}

} // namespace tgputty
