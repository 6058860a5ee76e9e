#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <cstddef>

struct evp_mac_ctx_st;

// The WinZip AES encryption of one ZIP entry; the program writes AES-256 in the AE-2 form and
// reads AES-128 and AES-192 too. The entry's data begins with a random salt (half the key's
// length) and a password verifier, the compressed data follows encrypted with AES in the
// format's counter mode (a little-endian block counter starting at 1), and a 10-byte HMAC-SHA1
// over the encrypted data ends it. The AES key, the HMAC key (both of the key's length) and the
// verifier come from the password by PBKDF2-HMAC-SHA1 with 1000 rounds over the salt. All of it
// is OpenSSL's.
class WinZipAes {
public:
    static constexpr int saltSize = 16; // AES-256's
    static constexpr int verifierSize = 2;
    static constexpr int macSize = 10;
    // Bytes the encryption adds to an entry's compressed data with AES-256.
    static constexpr int overhead = saltSize + verifierSize + macSize;
    // The extra field's strength of AES-256; 1 is AES-128, 2 AES-192.
    static constexpr int strength256 = 3;
    // The salt's length for a strength (1..3); 0 for any other.
    static constexpr int saltSizeFor(int strength) {
        return strength >= 1 && strength <= 3 ? 4 + 4 * strength : 0;
    }
    // The extra field that names the encryption and the real method (Deflate).
    static constexpr quint16 extraTag = 0x9901;
    static constexpr quint16 method = 99;

    // `password` is in the bytes the readers use: its UTF-8 form. A fresh salt is drawn from
    // OpenSSL's random generator. Throws ProgramError when a key cannot be made.
    explicit WinZipAes(const QByteArray& password);
    // With a given salt (`saltSizeFor(strength)` bytes): for reading an entry, and for comparing
    // with known values.
    WinZipAes(const QByteArray& password, const QByteArray& salt, int strength = strength256);
    ~WinZipAes();
    WinZipAes(const WinZipAes&) = delete;
    WinZipAes& operator=(const WinZipAes&) = delete;

    // Salt and verifier: the bytes that precede the encrypted data.
    QByteArray header() const;
    // The extra field's bytes, tag and size included.
    static QByteArray extraField();

    // Encrypts `size` bytes in place that lie `offset` bytes into the entry's encrypted data.
    // Changes nothing shared, so pieces may be encrypted on several threads at once. Throws
    // ProgramError when OpenSSL fails.
    void encrypt(quint64 offset, char* data, size_t size) const;

    // Feeds encrypted data, in order, to the authentication code (one thread only).
    void authenticate(const char* data, size_t size);
    // The code over everything fed; `macSize` bytes.
    QByteArray authenticationCode();

private:
    void deriveKeys(const QByteArray& password);

    int m_keySize = 32;
    int m_saltSize = saltSize;
    unsigned char m_salt[saltSize] = {};
    unsigned char m_aesKey[32] = {};
    unsigned char m_macKey[32] = {};
    unsigned char m_verifier[verifierSize] = {};
    evp_mac_ctx_st* m_mac = nullptr;
};
