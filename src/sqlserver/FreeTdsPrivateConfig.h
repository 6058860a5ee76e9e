#pragma once

#include "sqlserver/SqlEncryption.h"

#include <QByteArray>
#include <QString>

// The freetds.conf the program hands db-lib before every connection (dbsetifile), in a folder of
// its own made at the first connection (mode 0700 under the temporary folder, removed at the
// end). Its [global] section asks for the connection's encryption and, for a verified one, the
// authorities: the system's bundle with SqlCAFile's certificates added, copied beside it. The
// file names no server, so a server's entry in the system's freetds.conf (port, instance, TDS
// version) still applies. FreeTDS writes its error lines, and only those (no packets, no login),
// to a dump file there, from which a refused TLS connection is explained.
//
// Not thread-safe: used under db-lib's lock only.
namespace FreeTdsPrivateConfig {

// Writes the file for a connection at `level` and empties the dump file; returns the path to
// hand to dbsetifile. Throws ProgramError when the folder or a file cannot be written, or when
// caFile (strict only) cannot be read or holds no certificate.
QByteArray prepare(SqlEncryption::Level level, const QString& caFile);

// Why the last connection's TLS failed, from FreeTDS's lines since prepare(): a German reason
// with FreeTDS's own words behind it, or empty when nothing about TLS went wrong.
QString tlsFailure(const QString& host);

} // namespace FreeTdsPrivateConfig
