#pragma once

#include <QByteArray>
#include <QByteArrayView>

// The maker's Ed25519 public key that the program update and the support files are checked
// with. The build carries it (CMake cache variable ORVEL_UPDATE_PUBLIC_KEY, 64 hex digits); the
// INI file's WebServer= and WebCAFile= move the server, never the key. A build without a key
// installs nothing it downloads.
//
// A signature is the 64-byte raw Ed25519 signature over a fixed context line for the kind of
// file followed by the file's exact bytes, as "openssl pkeyutl -sign -rawin" writes it over
// both (scripts/sign-update); it lies on the server beside the file, under the file's address
// plus ".sig". The context line makes a signature good for one kind only: the signature of a
// library never passes for a control file with the same bytes, nor the other way round.
class UpdateKey {
public:
    static constexpr qsizetype kKeySize = 32;
    static constexpr qsizetype kSignatureSize = 64;

    // The kinds of signed file, each with its context line.
    enum class Kind {
        ControlFile, // orvelsqlbackup.INF
        Library,     // the SFTP library
        ProgramFile, // the program's executable
    };
    // The bytes put before a file of the kind when it is signed and verified.
    static QByteArray contextPrefix(Kind kind);

    // No key: verifies nothing.
    UpdateKey() = default;
    // raw: the 32-byte public key; anything else gives no key, and so does a point of small
    // order (the all-zero key, 01 00…00 and the like), for which anybody can sign.
    explicit UpdateKey(QByteArray raw);
    // The key of 64 hex digits; no key when hex is not that.
    static UpdateKey fromHex(QByteArrayView hex);
    // The key the build was configured with.
    static UpdateKey builtIn();

    bool isSet() const { return !m_raw.isEmpty(); }
    const QByteArray& raw() const { return m_raw; }

    // Whether signature is this key's valid signature over the kind's context line and data.
    bool verifies(Kind kind, QByteArrayView data, QByteArrayView signature) const;

private:
    QByteArray m_raw;
};
