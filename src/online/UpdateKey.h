#pragma once

#include <QByteArray>
#include <QByteArrayView>

class QFileDevice;

// The maker's Ed25519 public key that the program update and the support files are checked
// with. The build carries it (CMake cache variable ORVEL_UPDATE_PUBLIC_KEY, 64 hex digits); the
// INI file's WebServer= and WebCAFile= move the server, never the key. A build without a key
// installs nothing it downloads.
//
// A signature is the 64-byte raw Ed25519 signature over a file's exact bytes, as
// "openssl pkeyutl -sign -rawin" writes it; it lies on the server beside the file, under the
// file's address plus ".sig".
class UpdateKey {
public:
    static constexpr qsizetype kKeySize = 32;
    static constexpr qsizetype kSignatureSize = 64;

    // No key: verifies nothing.
    UpdateKey() = default;
    // raw: the 32-byte public key; anything else gives no key.
    explicit UpdateKey(QByteArray raw);
    // The key of 64 hex digits; no key when hex is not that.
    static UpdateKey fromHex(QByteArrayView hex);
    // The key the build was configured with.
    static UpdateKey builtIn();

    bool isSet() const { return !m_raw.isEmpty(); }
    const QByteArray& raw() const { return m_raw; }

    // Whether signature is this key's valid signature over data.
    bool verifies(QByteArrayView data, QByteArrayView signature) const;
    // The same over the whole content of an open file (read through its handle, not its name).
    bool verifiesFile(QFileDevice& file, QByteArrayView signature) const;

private:
    QByteArray m_raw;
};
