#pragma once

#include <QByteArray>
#include <QDate>
#include <QString>

#include <functional>

// The public keys of FTPS servers whose certificates no authority of the system vouches for,
// kept at first use in the file ftps_known_hosts of the program folder, beside the SSH
// known_hosts. One line per server:
//
//     host:port sha256//<base64 of the SHA-256 of the SubjectPublicKeyInfo> # gespeichert am <date>
//
// A server whose certificate an authority of the system once vouched for gets a marker line
// instead (no key, so a renewed certificate still passes):
//
//     host:port ca # gespeichert am <date>
//
// and from then on a certificate no authority vouches for is refused for it.
//
// (an IPv6 address is written in brackets). Lines starting with '#', blank lines and lines that
// cannot be read are kept as they are. The file is never read or written through a symbolic
// link: a link or anything but a plain file in its place is an error that names the file.
class FtpsKnownHosts {
public:
    static constexpr const char* FileName = "ftps_known_hosts";

    explicit FtpsKnownHosts(const QString& folder);

    QString filePath() const { return m_path; }

    // "host:port" as the file writes it: the host in lower case, an IPv6 address in brackets.
    static QString entryName(const QString& host, int port);

    // The stored key of the server ("sha256//..."), empty when none is stored. Throws
    // ProgramError when the file is there but cannot be read, or is a link.
    QByteArray pinFor(const QString& entry) const;

    // Adds the server's line (with the date in its comment): a temporary file in the same
    // folder, written, synced, renamed over the file, and the folder synced, so the file is
    // always whole. Every other line stays byte for byte. Throws ProgramError on failure.
    void store(const QString& entry, const QByteArray& pin, const QDate& date);

    // Whether the server's marker line (an authority once vouched for its certificate) is there.
    // Throws ProgramError like pinFor.
    bool authorityMarked(const QString& entry) const;

    // Adds the server's marker line, like store. Throws ProgramError on failure.
    void markAuthority(const QString& entry, const QDate& date);

    static constexpr const char* AuthorityMark = "ca";

private:
    // Adds "entry field # gespeichert am date" (see store).
    void append(const QString& entry, const QByteArray& field, const QDate& date);

    // The file's bytes; empty when it does not exist.
    QByteArray read() const;
    // The first value stored for `entry` that `wanted` accepts; empty when there is none.
    QByteArray valueFor(const QString& entry,
                        const std::function<bool(const QByteArray&)>& wanted) const;

    QString m_folder;
    QString m_path;
};
