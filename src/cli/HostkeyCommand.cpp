#include "cli/HostkeyCommand.h"

#include "cli/CliContext.h"
#include "cli/CommandSupport.h"
#include "cli/SettingsSession.h"
#include "core/JobDestination.h"
#include "net/FtpsKnownHosts.h"
#include "net/FtpsProbe.h"

#include "platform/DataFolder.h"
#include "platform/ProgramError.h"
#include "settings/SettingsRecords.h"
#include "transfer/s3/S3Location.h"
#include "transfer/sftp/TTGPuttySFTP.h"
#include <QDate>

namespace {
constexpr int kFtps = 1; // FTP_SSL of an FTPS job
constexpr int kSftp = 2; // FTP_SSL of an SFTP job
constexpr int kS3 = 3;   // FTP_SSL of an S3 job
constexpr qint32 kTimeoutMs = 30000;

QString statusText(qint32 status) {
    switch (status) {
    case TG_HOSTKEY_KNOWN:
        return QStringLiteral("bekannt (steht in known_hosts)");
    case TG_HOSTKEY_NEW:
        return QStringLiteral("nicht bekannt (kein Eintrag in known_hosts)");
    case TG_HOSTKEY_CHANGED:
        return QStringLiteral(
            "GEÄNDERT: known_hosts hat für diesen Server einen anderen Schlüssel");
    default:
        return QStringLiteral("nicht geprüft (known_hosts kann nicht gelesen werden)");
    }
}

// The key's SHA-256 fingerprint ("SHA256:…") out of what the library shows ("type SHA256:…").
QString sha256Of(const QByteArray& fingerprint) {
    const QString text = QString::fromUtf8(fingerprint);
    return text.section(QLatin1Char(' '), -1);
}
} // namespace

QString HostkeyCommand::summary() const {
    return QStringLiteral("Schlüssel des SFTP-, FTPS- oder S3-Servers zeigen und bestätigen");
}

// An FTPS or S3 job: the key of the server's certificate, shown before any login or request,
// and kept in ftps_known_hosts when it is exactly the one named.
int HostkeyCommand::ftps(CliContext& context, const BackupJob& job, const QString& accept) {
    QString host = job.FTP_SERVER;
    int port = job.FTP_Port;
    FtpsServerKey key;
    if (job.FTP_SSL == kS3) {
        // The server and port the S3 destination connects to, as it reads them from the job.
        const S3Location location(jobDestination(job, context.programFolder()));
        if (!location.error().isEmpty()) {
            context.err() << location.error() << Qt::endl;
            return kRefused;
        }
        host = location.host();
        port = location.port();
        key = probeTlsServer(host, port, kTimeoutMs);
    } else {
        key = probeFtpsServer(host, port, kTimeoutMs);
    }
    if (!key.error.isEmpty()) {
        context.err() << key.error << Qt::endl;
        return kFailed;
    }
    const QString entry = FtpsKnownHosts::entryName(host, port);
    FtpsKnownHosts known(context.programFolder());
    QByteArray kept;
    bool marked = false;
    try {
        kept = known.pinFor(entry);
        marked = known.authorityMarked(entry);
    } catch (const std::exception& e) {
        context.err() << exceptionText(e) << Qt::endl;
        return kFailed;
    }
    context.out() << entry << QLatin1Char(' ') << QString::fromLatin1(key.pin) << Qt::endl;
    const auto status = [&context](const QString& text) {
        context.out() << QStringLiteral("Status: ") << text << Qt::endl;
    };
    if (key.authorityVouches) {
        status(QStringLiteral("von einer anerkannten Zertifizierungsstelle bestätigt (kein "
                              "Eintrag nötig)"));
        return kDone;
    }
    if (!kept.isEmpty() && kept == key.pin) {
        status(QStringLiteral("bekannt (steht in ftps_known_hosts)"));
        return kDone;
    }
    if (marked || !kept.isEmpty()) {
        status(marked ? QStringLiteral("NICHT MEHR BESTÄTIGT: bisher bestätigte eine "
                                       "Zertifizierungsstelle dieses Zertifikat")
                      : QStringLiteral("GEÄNDERT: ftps_known_hosts hat für diesen Server einen "
                                       "anderen Schlüssel"));
        if (!accept.isEmpty())
            context.err() << QStringLiteral("Nichts gespeichert: erst die Zeile \"%1 ...\" aus "
                                            "%2 löschen")
                                 .arg(entry, known.filePath())
                          << Qt::endl;
        return accept.isEmpty() ? kFailed : kRefused;
    }
    status(QStringLiteral("nicht bekannt (kein Eintrag in ftps_known_hosts)"));
    if (accept.isEmpty())
        return kFailed;
    if (accept.toLatin1() != key.pin) {
        context.err() << QStringLiteral("Nichts gespeichert: der Server zeigt %1, nicht %2")
                             .arg(QString::fromLatin1(key.pin), accept)
                      << Qt::endl;
        return kRefused;
    }
    try {
        known.store(entry, key.pin, QDate::currentDate());
    } catch (const std::exception& e) {
        context.err() << exceptionText(e) << Qt::endl;
        return kFailed;
    }
    context.out() << QStringLiteral("Gespeichert in ") << known.filePath() << Qt::endl;
    return kDone;
}

QString HostkeyCommand::help() const {
    return QStringLiteral(
        "Aufruf: orvelsqlbackup-cli hostkey NAME [--accept SHA256:...|sha256//...]\n\n"
        "Verbindet sich mit dem SFTP-Server des Auftrags NAME (FTP_SSL=2), zeigt den\n"
        "Fingerabdruck seines Host-Schlüssels und ob known_hosts im Programmordner ihn kennt.\n"
        "Ohne --accept wird nichts gespeichert und nicht angemeldet. Mit --accept wird der\n"
        "Schlüssel nur gespeichert, wenn er genau der genannte ist (vergleichen Sie ihn mit\n"
        "dem, den der Verwalter des SFTP-Servers Ihnen gibt), so dass der nächtliche Lauf\n"
        "ihm vertraut. Ein geänderter Schlüssel wird nicht überschrieben: den alten Eintrag\n"
        "erst mit ssh-keygen -R entfernen.\n"
        "Rückgabewerte: 0 bekannt oder gespeichert; 1 nicht bekannt oder keine Verbindung;\n"
        "2 falsche Eingabe oder ein anderer Schlüssel als der genannte.\n"
        "Bei einem FTPS-Auftrag (FTP_SSL=1) und einem S3-Auftrag (FTP_SSL=3) ebenso der\n"
        "Schlüssel seines Zertifikats (sha256//...), vor jeder Anmeldung: bestätigt ihn eine\n"
        "Zertifizierungsstelle, ist nichts nötig; sonst speichert --accept sha256//... ihn in\n"
        "ftps_known_hosts. Ein Lauf ohne Bildschirm (und der Befehl run) übernimmt einen\n"
        "solchen Schlüssel nie ungefragt; er nennt diesen Befehl.");
}

int HostkeyCommand::run(CliContext& context, const QStringList& arguments) {
    QStringList rest = arguments;
    QString accept;
    const qsizetype at = rest.indexOf(QStringLiteral("--accept"));
    if (at >= 0) {
        if (at + 1 >= rest.size() || !(rest.at(at + 1).startsWith(QLatin1String("SHA256:")) ||
                                       rest.at(at + 1).startsWith(QLatin1String("sha256//"))))
            return CommandSupport::usageError(
                context, *this,
                QStringLiteral("--accept braucht einen Fingerabdruck SHA256:... (SFTP) oder "
                               "sha256//... (FTPS, S3)"));
        accept = rest.at(at + 1);
        rest.remove(at, 2);
    }
    if (rest.size() != 1)
        return CommandSupport::usageError(context, *this,
                                          QStringLiteral("Genau ein Auftragsname erwartet"));
    BackupJob job;
    {
        SettingsSession session(context.programFolder());
        if (!CommandSupport::open(context, session))
            return kRefused;
        if (!session.findJob(rest.first())) {
            context.err() << QStringLiteral("Kein Auftrag '%1'").arg(rest.first()) << Qt::endl;
            return kRefused;
        }
        job = SettingsRecords::readJob(session.jobs());
    }
    if ((job.FTP_SSL == kFtps || job.FTP_SSL == kS3) && !job.FTP_SERVER.isEmpty())
        return ftps(context, job, accept);
    if (job.FTP_SSL != kSftp || job.FTP_SERVER.isEmpty()) {
        context.err() << QStringLiteral("Der Auftrag '%1' lädt nicht per SFTP, FTPS oder S3 hoch "
                                        "(FTP_SSL=2, 1 oder 3 und FTP_SERVER nötig)")
                             .arg(job.DBName)
                      << Qt::endl;
        return kRefused;
    }

    QByteArray shown;
    qint32 status = -1;
    bool stored = false;
    const QString knownHosts = context.programFolder() + QStringLiteral("known_hosts");
    TTGPuttySFTP::setLibraryFolder(DataFolder::packageManaged() ? DataFolder::programFolder()
                                                                : context.programFolder());
    try {
        TTGPuttySFTP session(false);
        session.setKnownHostsFile(knownHosts);
        session.setHostName(job.FTP_SERVER.toUtf8());
        session.setPort(job.FTP_Port);
        session.setUserName(job.FTP_Benutzer.toUtf8());
        session.setPassword(job.FTP_Passwort.toUtf8());
        session.setTimeoutTicks(kTimeoutMs);
        session.setConnectionTimeoutTicks(kTimeoutMs);
        session.OnVerifyHostKey = [&](const QByteArray&, qint32, const QByteArray& fingerprint,
                                      qint32 verification, bool& store) {
            shown = fingerprint;
            status = verification;
            store = false;
            // Only a new key that is exactly the one named is stored; nothing else goes on to
            // the login.
            if (!accept.isEmpty() && verification == TG_HOSTKEY_NEW &&
                sha256Of(fingerprint) == accept) {
                store = true;
                stored = true;
                return true;
            }
            return false;
        };
        session.Connect();
        if (session.Connected())
            session.Disconnect();
    } catch (const std::exception& e) {
        if (shown.isEmpty()) {
            context.err() << exceptionText(e) << Qt::endl;
            return kFailed;
        }
        // Refused at the key, or the login after storing it failed: the key is what counts.
    }
    if (shown.isEmpty()) {
        context.err() << QStringLiteral("Der Server hat keinen Host-Schlüssel gezeigt") << Qt::endl;
        return kFailed;
    }
    const QString server = QStringLiteral("%1:%2").arg(job.FTP_SERVER).arg(job.FTP_Port);
    context.out() << server << QLatin1Char(' ') << QString::fromUtf8(shown) << Qt::endl;
    context.out() << QStringLiteral("Status: ") << statusText(status) << Qt::endl;
    if (stored) {
        context.out() << QStringLiteral("Gespeichert in ") << knownHosts << Qt::endl;
        return kDone;
    }
    if (!accept.isEmpty()) {
        if (status == TG_HOSTKEY_CHANGED)
            context.err() << QStringLiteral("Nichts gespeichert: der Schlüssel hat sich geändert; "
                                            "den alten Eintrag erst entfernen (ssh-keygen -R)")
                          << Qt::endl;
        else if (status == TG_HOSTKEY_KNOWN && sha256Of(shown) == accept)
            return kDone;
        else
            context.err() << QStringLiteral("Nichts gespeichert: der Server zeigt %1, nicht %2")
                                 .arg(sha256Of(shown), accept)
                          << Qt::endl;
        return kRefused;
    }
    return status == TG_HOSTKEY_KNOWN ? kDone : kFailed;
}
