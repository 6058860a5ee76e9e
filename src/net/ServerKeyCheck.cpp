#include "net/ServerKeyCheck.h"

#include "net/FtpsKnownHosts.h"
#include "net/KeyPin.h"
#include "platform/ProgramError.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <QDate>
#include <QRegularExpression>

#include <chrono>
#include <mutex>

namespace {

// The system's authorities as OpenSSL finds them (SSL_CERT_FILE / SSL_CERT_DIR honoured), loaded
// once and shared by the handshakes: reading the bundle costs some 50 ms of processor time, and
// an S3 store opens a connection per part. Loaded anew after five minutes, so that a window left
// open sees an authority added meanwhile, and at once when SSL_CERT_FILE or SSL_CERT_DIR name
// other places. A new reference, or null when none can be made.
X509_STORE* systemAuthorities() {
    static std::mutex mutex;
    static X509_STORE* store = nullptr;
    static std::chrono::steady_clock::time_point loaded;
    static QByteArray loadedFrom;
    const QByteArray from = qgetenv(X509_get_default_cert_file_env()) + '\n' +
                            qgetenv(X509_get_default_cert_dir_env());
    std::lock_guard lock(mutex);
    const auto now = std::chrono::steady_clock::now();
    if (!store || from != loadedFrom || now - loaded > std::chrono::minutes(5)) {
        X509_STORE* fresh = X509_STORE_new();
        if (!fresh || X509_STORE_set_default_paths(fresh) != 1) {
            X509_STORE_free(fresh);
            return nullptr;
        }
        X509_STORE_free(store);
        store = fresh;
        loaded = now;
        loadedFrom = from;
    }
    return X509_STORE_up_ref(store) == 1 ? store : nullptr;
}

// A text naming the kind of server ("FTPS-Server", "S3-Server") in place of %K.
QString kindText(QString text, const ServerKeyCheck& check) {
    return text.replace(QLatin1String("%K"), check.kind);
}

// Takes the place of OpenSSL's certificate check in the handshake. A refusal ends the handshake,
// so the login is never sent to a server with another key.
int verifyServer(X509_STORE_CTX* store, void* arg) {
    auto* check = static_cast<ServerKeyCheck*>(arg);
    // A refusal must end the handshake whatever mode the connection was made with.
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    if (ssl)
        SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    // The certificate must name the job's server. Without a name to check, no authority can
    // vouch for the server: its key decides.
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(store);
    const QByteArray host = check->host.toUtf8();
    bool nameSet = false;
    if (!host.isEmpty()) {
        if (X509_VERIFY_PARAM_set1_ip_asc(param, host.constData()) == 1) {
            nameSet = true;
        } else {
            X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            nameSet = X509_VERIFY_PARAM_set1_host(param, host.constData(), 0) == 1;
        }
    }
    const QString entry = FtpsKnownHosts::entryName(check->host, check->port);
    if (nameSet && X509_verify_cert(store) == 1) {
        // An authority vouches for the name: renewals just work, no key is kept. That it did is
        // kept, once, so a certificate of the server's own making is refused from now on.
        if (!check->authorityVouched) {
            check->authorityVouched = true;
            FtpsKnownHosts knownHosts(check->keysFolder);
            try {
                if (!knownHosts.authorityMarked(entry))
                    knownHosts.markAuthority(entry, QDate::currentDate());
            } catch (const std::exception& e) {
                if (check->note)
                    check->note(kindText(QStringLiteral("FEHLER: %1 (%K-Server %2)"), *check)
                                    .arg(exceptionText(e), entry));
            }
        }
        return 1;
    }
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    const QByteArray offered = leaf ? publicKeyPin(leaf) : QByteArray();
    if (offered.isEmpty()) {
        check->refusal =
            kindText(QStringLiteral("Der Schlüssel des %K-Servers %1 kann nicht gelesen werden"),
                     *check)
                .arg(entry);
        return 0;
    }
    FtpsKnownHosts knownHosts(check->keysFolder);
    // A data connection whose control connection an authority vouched for is refused as well.
    const bool dataConnection = check->authorityVouched;
    bool marked = dataConnection;
    if (!marked) {
        try {
            marked = knownHosts.authorityMarked(entry);
        } catch (const std::exception& e) {
            check->refusal = exceptionText(e);
            return 0;
        }
    }
    if (marked) {
        check->refusal =
            kindText(QStringLiteral(
                         "Das Zertifikat des %K-Servers %1 war bisher von einer anerkannten "
                         "Zertifizierungsstelle bestätigt, jetzt nicht mehr (der Server zeigt "
                         "den Schlüssel %2). Das kann ein Angriff sein; %3 wurde nicht gesendet. "
                         "Ist das neue Zertifikat rechtmäßig, die Zeile \"%1 ca ...\" aus %4 "
                         "löschen; beim nächsten Upload wird sein Schlüssel gespeichert."),
                     *check)
                .arg(entry, QString::fromLatin1(offered),
                     dataConnection ? QStringLiteral("die Datei") : QStringLiteral("die Anmeldung"),
                     knownHosts.filePath());
        return 0;
    }
    if (offered != check->accepted) {
        QByteArray stored;
        try {
            stored = knownHosts.pinFor(entry);
        } catch (const std::exception& e) {
            check->refusal = exceptionText(e);
            return 0;
        }
        if (stored.isEmpty() && !check->attended) {
            // Nobody watches: a stranger between this machine and the server would be trusted
            // for good. The key is accepted by hand, after comparing it.
            QString job = check->jobName.isEmpty() ? QStringLiteral("NAME") : check->jobName;
            // Quoted for the shell unless it is a plain word, so the command can be copied.
            static const QRegularExpression plainWord(QStringLiteral("^[A-Za-z0-9_.,:+@%/-]+$"));
            if (!plainWord.match(job).hasMatch())
                job = QLatin1Char('\'') + job.replace(QLatin1Char('\''), QStringLiteral("'\\''")) +
                      QLatin1Char('\'');
            check->refusal =
                kindText(QStringLiteral(
                             "Das Zertifikat des %K-Servers %1 ist von keiner bekannten "
                             "Zertifizierungsstelle bestätigt, und sein Schlüssel %2 ist noch "
                             "nicht in %3 gespeichert. Ohne jemanden, der zusieht, wird ein neuer "
                             "Schlüssel nicht übernommen; die Anmeldung wurde nicht gesendet. Ist "
                             "es der Schlüssel des Servers (beim Verwalter des Servers "
                             "nachfragen), ihn bestätigen mit: orvelsqlbackup-cli hostkey %4 "
                             "--accept %2 (oder den Upload einmal von Hand im Fenster starten)."),
                         *check)
                    .arg(entry, QString::fromLatin1(offered), knownHosts.filePath(), job);
            check->unconfirmedKey = true;
            return 0;
        }
        if (stored.isEmpty()) {
            // A key that cannot be kept would count as new again next time, and so would a
            // stranger's: without it kept, the login is not sent.
            try {
                knownHosts.store(entry, offered, QDate::currentDate());
            } catch (const std::exception& e) {
                check->refusal =
                    kindText(QStringLiteral(
                                 "FEHLER: %1. Der Schlüssel %2 des %K-Servers %3 ist von "
                                 "keiner bekannten Zertifizierungsstelle bestätigt und kann "
                                 "nicht gespeichert werden; die Anmeldung wurde nicht gesendet."),
                             *check)
                        .arg(exceptionText(e), QString::fromLatin1(offered), entry);
                return 0;
            }
            if (check->note)
                check->note(
                    kindText(QStringLiteral(
                                 "Das Zertifikat des %K-Servers %1 ist von keiner bekannten "
                                 "Zertifizierungsstelle bestätigt; sein Schlüssel %2 wurde beim "
                                 "ersten Kontakt in %3 gespeichert und wird künftig verlangt."),
                             *check)
                        .arg(entry, QString::fromLatin1(offered), knownHosts.filePath()));
        } else if (stored != offered) {
            check->refusal =
                kindText(
                    QStringLiteral("Der Schlüssel des %K-Servers %1 hat sich geändert: gespeichert "
                                   "ist %2, der Server zeigt %3. Das kann ein Angriff sein; die "
                                   "Anmeldung wurde nicht gesendet. Ist das neue Zertifikat "
                                   "rechtmäßig, die Zeile \"%1 ...\" aus %4 löschen; beim nächsten "
                                   "Upload wird der neue Schlüssel gespeichert."),
                    *check)
                    .arg(entry, QString::fromLatin1(stored), QString::fromLatin1(offered),
                         knownHosts.filePath());
            return 0;
        }
        check->accepted = offered;
    }
    X509_STORE_CTX_set_error(store, X509_V_OK);
    return 1;
}

} // namespace

void ServerKeyCheck::install(void* sslContext) {
    auto* ctx = static_cast<SSL_CTX*>(sslContext);
    if (X509_STORE* authorities = systemAuthorities()) {
        SSL_CTX_set1_cert_store(ctx, authorities);
        X509_STORE_free(authorities);
    } else {
        SSL_CTX_set_default_verify_paths(ctx);
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, verifyServer, this);
}
