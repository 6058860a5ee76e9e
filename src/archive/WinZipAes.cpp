#include "archive/WinZipAes.h"

#include "platform/ProgramError.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

constexpr int pbkdf2Rounds = 1000;
constexpr int aesBlock = 16;
// Counter blocks encrypted at once to make key stream: 64 KiB.
constexpr size_t streamBlocks = 4096;

[[noreturn]] void cryptoFailed() {
    throw ProgramError(QStringLiteral("Fehler bei der Verschlüsselung (OpenSSL)"));
}

struct CipherFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
struct CipherFetched {
    void operator()(EVP_CIPHER* c) const { EVP_CIPHER_free(c); }
};

// One fetch for the whole program: OpenSSL's lookup per piece would cost more than needed.
const EVP_CIPHER* aesEcb(int keySize) {
    static const std::unique_ptr<EVP_CIPHER, CipherFetched> aes128(
        EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr));
    static const std::unique_ptr<EVP_CIPHER, CipherFetched> aes192(
        EVP_CIPHER_fetch(nullptr, "AES-192-ECB", nullptr));
    static const std::unique_ptr<EVP_CIPHER, CipherFetched> aes256(
        EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr));
    return keySize == 16 ? aes128.get() : keySize == 24 ? aes192.get() : aes256.get();
}

} // namespace

WinZipAes::WinZipAes(const QByteArray& password) {
    if (RAND_bytes(m_salt, saltSize) != 1)
        cryptoFailed();
    deriveKeys(password);
}

WinZipAes::WinZipAes(const QByteArray& password, const QByteArray& salt, int strength) {
    m_saltSize = saltSizeFor(strength);
    m_keySize = 2 * m_saltSize;
    if (m_saltSize == 0 || salt.size() != m_saltSize)
        cryptoFailed();
    std::memcpy(m_salt, salt.constData(), size_t(m_saltSize));
    deriveKeys(password);
}

WinZipAes::~WinZipAes() {
    EVP_MAC_CTX_free(m_mac);
    OPENSSL_cleanse(m_aesKey, sizeof m_aesKey);
    OPENSSL_cleanse(m_macKey, sizeof m_macKey);
}

void WinZipAes::deriveKeys(const QByteArray& password) {
    unsigned char derived[32 + 32 + verifierSize];
    const size_t key = size_t(m_keySize);
    if (PKCS5_PBKDF2_HMAC(password.constData(), int(password.size()), m_salt, m_saltSize,
                          pbkdf2Rounds, EVP_sha1(), int(2 * key + verifierSize), derived) != 1)
        cryptoFailed();
    std::memcpy(m_aesKey, derived, key);
    std::memcpy(m_macKey, derived + key, key);
    std::memcpy(m_verifier, derived + 2 * key, verifierSize);
    OPENSSL_cleanse(derived, sizeof derived);

    EVP_MAC* hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (!hmac)
        cryptoFailed();
    m_mac = EVP_MAC_CTX_new(hmac);
    EVP_MAC_free(hmac);
    char digest[] = "SHA1";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_END};
    if (!m_mac || EVP_MAC_init(m_mac, m_macKey, key, params) != 1)
        cryptoFailed();
}

QByteArray WinZipAes::header() const {
    QByteArray h(reinterpret_cast<const char*>(m_salt), m_saltSize);
    h.append(reinterpret_cast<const char*>(m_verifier), verifierSize);
    return h;
}

QByteArray WinZipAes::extraField() {
    // Tag, size 7, vendor version 2 (AE-2), vendor "AE", strength 3 (AES-256), method 8.
    return QByteArray("\x01\x99\x07\x00\x02\x00" "AE" "\x03\x08\x00", 11);
}

void WinZipAes::encrypt(quint64 offset, char* data, size_t size) const {
    if (size == 0)
        return;
    const std::unique_ptr<EVP_CIPHER_CTX, CipherFree> ctx(EVP_CIPHER_CTX_new());
    const EVP_CIPHER* cipher = aesEcb(m_keySize);
    if (!ctx || !cipher || EVP_EncryptInit_ex2(ctx.get(), cipher, m_aesKey, nullptr, nullptr) != 1)
        cryptoFailed();
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);

    // Counter of the block that holds `offset`; the format counts from 1.
    quint64 counter = offset / aesBlock + 1;
    size_t skip = size_t(offset % aesBlock);
    const auto counters = std::make_unique<unsigned char[]>(streamBlocks * aesBlock);
    const auto stream = std::make_unique<unsigned char[]>(streamBlocks * aesBlock);
    size_t done = 0;
    while (done < size) {
        const size_t wanted = skip + (size - done);
        const size_t blocks = std::min(streamBlocks, (wanted + aesBlock - 1) / aesBlock);
        std::memset(counters.get(), 0, blocks * aesBlock);
        for (size_t i = 0; i < blocks; ++i) {
            quint64 c = counter + i;
            for (int b = 0; b < 8; ++b, c >>= 8)
                counters[i * aesBlock + size_t(b)] = static_cast<unsigned char>(c & 0xFF);
        }
        int produced = 0;
        if (EVP_EncryptUpdate(ctx.get(), stream.get(), &produced, counters.get(),
                              int(blocks * aesBlock)) != 1 ||
            size_t(produced) != blocks * aesBlock)
            cryptoFailed();
        const size_t n = std::min(size - done, blocks * aesBlock - skip);
        const unsigned char* key = stream.get() + skip;
        char* at = data + done;
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            quint64 d, k;
            std::memcpy(&d, at + i, 8);
            std::memcpy(&k, key + i, 8);
            d ^= k;
            std::memcpy(at + i, &d, 8);
        }
        for (; i < n; ++i)
            at[i] = char(at[i] ^ char(key[i]));
        done += n;
        counter += blocks;
        skip = 0;
    }
    OPENSSL_cleanse(stream.get(), streamBlocks * aesBlock);
}

void WinZipAes::authenticate(const char* data, size_t size) {
    if (size > 0 &&
        EVP_MAC_update(m_mac, reinterpret_cast<const unsigned char*>(data), size) != 1)
        cryptoFailed();
}

QByteArray WinZipAes::authenticationCode() {
    unsigned char full[EVP_MAX_MD_SIZE];
    size_t length = 0;
    if (EVP_MAC_final(m_mac, full, &length, sizeof full) != 1 || length < size_t(macSize))
        cryptoFailed();
    return QByteArray(reinterpret_cast<const char*>(full), macSize);
}
