#include "sqlserver/SqlDbProcess.h"

#include "sqlserver/FreeTdsHomeFiles.h"
#include "sqlserver/FreeTdsPrivateConfig.h"
#include "sqlserver/SqlConnectionString.h"
#include "platform/ProgramError.h"
#include "platform/WorkerCall.h"

#include <sybdb.h>

#include <QByteArray>
#include <QRegularExpression>
#include <QStringList>

#include <QDeadlineTimer>

#include <algorithm>
#include <mutex>
#include <utility>

namespace {

// db-lib's handlers, its login time-out and its query time-out are process-wide. All use of
// db-lib goes through this lock, and the messages of the running call are collected in the
// collector of the thread that makes the call.
std::mutex g_dblib;

// How long a cancel sent after a time-out is waited for, at most (seconds).
int s_cancelWaitLimit = SqlDbProcess::DefaultCancelWaitLimit;

// Where SqlEncrypt= is read, and the servers connected to without a checked certificate. A lock
// of their own: db-lib's is held through a statement that may run for an hour.
std::mutex g_encryptionState;
QString s_encryptionIni;
QStringList s_unverified;

struct Collector {
    QStringList messages; // server errors and client-side errors, in the order they came
    int timeouts = 0;     // 1 once the call ran out of time and a cancel went out
    // A statement's time is kept here, not by db-lib alone: db-lib counts only the time since
    // the last packet and would wait a second full period for a cancel to be acknowledged.
    QDeadlineTimer deadline;       // the call's own time (expired: the first time-out ends it)
    QDeadlineTimer cancelDeadline; // how long a cancel that went out is waited for
    qint64 cancelWaitMs = 0;
    QString dataSource; // named after a failed connect
};
thread_local Collector* t_collector = nullptr;

class CollectorScope {
public:
    explicit CollectorScope(Collector& c) : m_previous(t_collector) { t_collector = &c; }
    ~CollectorScope() { t_collector = m_previous; }
    CollectorScope(const CollectorScope&) = delete;
    CollectorScope& operator=(const CollectorScope&) = delete;

private:
    Collector* m_previous;
};

QString fromLibrary(const char* text) {
    return text ? QString::fromUtf8(text).trimmed() : QString();
}

// Client-side errors. Must never answer INT_EXIT: db-lib would end the process.
int onError(DBPROCESS*, int /*severity*/, int dberr, int oserr, char* dberrstr, char* oserrstr) {
    Collector* c = t_collector;
    if (dberr == SYBETIME) {
        // db-lib asks after every quiet period. Within the call's time: wait on. Then send a
        // cancel and keep the connection usable; if the server does not acknowledge that within
        // the cancel wait, give the connection up.
        if (!c)
            return INT_CANCEL;
        // db-lib counts whole seconds, so a period may end a little early: what is left of
        // the time within that slack counts as up.
        constexpr qint64 slackMs = 1000;
        if (c->timeouts == 0) {
            if (c->deadline.remainingTime() > slackMs)
                return INT_CONTINUE;
            ++c->timeouts;
            c->cancelDeadline = QDeadlineTimer(c->cancelWaitMs);
            return INT_TIMEOUT;
        }
        return c->cancelDeadline.remainingTime() > slackMs ? INT_CONTINUE : INT_CANCEL;
    }
    // SYBESMSG only says "see the server's messages", which arrive on their own.
    if (!c || dberr == SYBESMSG)
        return INT_CANCEL;

    QString text = fromLibrary(dberrstr);
    if ((dberr == SYBECONN || dberr == SYBEFCON) && !c->dataSource.isEmpty()) {
        // Name the server as the user wrote it, port included, instead of the bare host.
        static const QRegularExpression hostSuffix(QStringLiteral("\\s*\\([^()]*\\)$"));
        text.remove(hostSuffix);
        text += QStringLiteral(" (%1)").arg(c->dataSource);
    }
    const QString os = fromLibrary(oserrstr);
    if (oserr != DBNOERR && oserr != 0 && !os.isEmpty() &&
        os.compare(QLatin1String("Success"), Qt::CaseInsensitive) != 0)
        text += QStringLiteral(": ") + os;
    if (!text.isEmpty() && !c->messages.contains(text))
        c->messages.append(text);
    return INT_CANCEL;
}

// Server messages: only those above severity 10 are errors.
int onMessage(DBPROCESS*, DBINT /*msgno*/, int /*msgstate*/, int severity, char* msgtext,
              char* /*srvname*/, char* /*procname*/, int /*line*/) {
    Collector* c = t_collector;
    if (c && severity > 10) {
        const QString text = fromLibrary(msgtext);
        if (!text.isEmpty())
            c->messages.append(text);
    }
    return 0;
}

void ensureInitialised() {
    static bool done = false;
    if (done)
        return;
    if (dbinit() == FAIL)
        throw ProgramError(QStringLiteral("FreeTDS db-lib kann nicht initialisiert werden."));
    dberrhandle(onError);
    dbmsghandle(onMessage);
    done = true;
}

QString failureText(const Collector& c, const QString& fallback) {
    return c.messages.isEmpty() ? fallback : c.messages.join(QLatin1Char(' '));
}

bool isIntegerType(int type) {
    return type == SYBINT1 || type == SYBINT2 || type == SYBINT4 || type == SYBINT8 ||
           type == SYBBIT || type == SYBINTN || type == SYBBITN;
}

bool isFloatType(int type) {
    return type == SYBFLT8 || type == SYBREAL || type == SYBFLTN || type == SYBDECIMAL ||
           type == SYBNUMERIC || type == SYBMONEY || type == SYBMONEY4 || type == SYBMONEYN;
}

bool isCharType(int type) {
    return type == SYBCHAR || type == SYBVARCHAR || type == SYBTEXT || type == SYBNTEXT ||
           type == SYBNVARCHAR;
}

QVariant columnValue(DBPROCESS* proc, int column) {
    BYTE* data = dbdata(proc, column);
    const DBINT length = dbdatlen(proc, column);
    if (!data && length == 0)
        return {};
    const int type = dbcoltype(proc, column);
    if (isCharType(type))
        return QString::fromUtf8(reinterpret_cast<const char*>(data), length);
    if (isIntegerType(type)) {
        DBBIGINT n = 0;
        if (dbconvert(proc, type, data, length, SYBINT8, reinterpret_cast<BYTE*>(&n), sizeof n) > 0)
            return qint64(n);
    } else if (isFloatType(type)) {
        DBFLT8 d = 0;
        if (dbconvert(proc, type, data, length, SYBFLT8, reinterpret_cast<BYTE*>(&d), sizeof d) > 0)
            return double(d);
    }
    // Anything else (uniqueidentifier, dates, binary) as the library writes it as text.
    QByteArray buffer(length * 2 + 64, '\0');
    const DBINT written = dbconvert(proc, type, data, length, SYBCHAR,
                                    reinterpret_cast<BYTE*>(buffer.data()), DBINT(buffer.size()));
    if (written < 0)
        return {};
    return QString::fromUtf8(buffer.constData(), written).trimmed();
}

} // namespace

SqlDbProcess::~SqlDbProcess() {
    close();
}

bool SqlDbProcess::isOpen() const {
    return m_proc != nullptr && !dbdead(m_proc);
}

void SqlDbProcess::close() {
    if (!m_proc)
        return;
    std::lock_guard lock(g_dblib);
    Collector ignored;
    CollectorScope scope(ignored);
    dbclose(m_proc);
    m_proc = nullptr;
}

void SqlDbProcess::open(const SqlConnectionString& connection) {
    close();
    const SqlServerAddress address = SqlServerAddress::parse(connection.dataSource);
    const QByteArray server = address.freeTdsServerName().toUtf8();
    const QByteArray user = connection.userId.toUtf8();
    const QByteArray password = connection.password.toUtf8();
    const QByteArray database = connection.initialCatalog.toUtf8();
    const QString dataSource = connection.dataSource.trimmed();
    const int loginTimeout = connection.connectTimeout;
    QString iniPath;
    {
        std::lock_guard lock(g_encryptionState);
        iniPath = s_encryptionIni;
    }
    const SqlEncryption encryption = SqlEncryption::fromIni(iniPath);
    const SqlEncryption::Level level = encryption.levelFor(address.host);
    if (const QString refused = FreeTdsHomeFiles::refusal(FreeTdsHomeFiles::homeFolder());
        !refused.isEmpty())
        throw ProgramError(refused);

    m_proc = workerCall([&]() -> DBPROCESS* {
        std::lock_guard lock(g_dblib);
        Collector collector;
        collector.dataSource = dataSource;
        CollectorScope scope(collector);
        ensureInitialised();
        // At dbopen db-lib reads this file first, then FREETDSCONF's, the home folder's and the
        // system's; it names no server, so a server's section in those still applies.
        static QByteArray conf; // kept: db-lib may hold on to the name
        conf = FreeTdsPrivateConfig::prepare(level, encryption.caFile);
        dbsetifile(conf.data());

        LOGINREC* login = dblogin();
        if (!login)
            throw ProgramError(failureText(
                collector, QStringLiteral("FreeTDS: Anmeldedaten können nicht angelegt werden.")));
        DBSETLUSER(login, user.constData());
        DBSETLPWD(login, password.constData());
        DBSETLAPP(login, "OrvelSQLBackup");
        DBSETLCHARSET(login, "UTF-8");
        DBSETLVERSION(login, DBVERSION_74);
        if (!database.isEmpty())
            DBSETLDBNAME(login, database.constData());
        dbsetlogintime(loginTimeout);

        DBPROCESS* proc = dbopen(login, server.constData());
        dbloginfree(login);
        if (!proc && level != SqlEncryption::Level::Request) {
            const QString tls = FreeTdsPrivateConfig::tlsFailure(address.host);
            if (!tls.isEmpty())
                throw ProgramError(
                    QStringLiteral("Keine verschlüsselte Verbindung zum SQL Server %1 "
                                   "(SqlEncrypt=%2): %3")
                        .arg(dataSource,
                             encryption.mode == SqlEncryption::Mode::Strict
                                 ? QStringLiteral("strict")
                                 : QStringLiteral("require"),
                             tls));
        }
        if (!proc && collector.timeouts > 0)
            collector.messages.prepend(
                QStringLiteral("Zeitüberschreitung: Der SQL Server %1 hat die Anmeldung nicht "
                               "innerhalb von %2 Sekunden beantwortet.")
                    .arg(dataSource)
                    .arg(loginTimeout));
        if (!proc)
            throw ProgramError(failureText(
                collector, QStringLiteral("Keine Verbindung zum SQL Server %1.").arg(dataSource)));
        if (!collector.messages.isEmpty()) {
            // Connected, yet the server complained (a refused database): not usable as asked.
            dbclose(proc);
            throw ProgramError(failureText(collector, {}));
        }
        if (level == SqlEncryption::Level::Require) {
            std::lock_guard state(g_encryptionState);
            if (!s_unverified.contains(dataSource))
                s_unverified.append(dataSource);
        }
        return proc;
    });
}

SqlRecords SqlDbProcess::execute(const QString& sql, int timeoutSeconds, bool keepRows) {
    if (!m_proc)
        throw ProgramError(QStringLiteral("Keine Verbindung zum SQL Server geöffnet."));
    const QByteArray text = sql.toUtf8();
    DBPROCESS* proc = m_proc;

    return workerCall([&]() -> SqlRecords {
        std::lock_guard lock(g_dblib);
        Collector collector;
        CollectorScope scope(collector);
        int poll = 0;
        if (timeoutSeconds > 0) {
            const int cancelWait = std::min(timeoutSeconds, s_cancelWaitLimit);
            collector.deadline = QDeadlineTimer(qint64(timeoutSeconds) * 1000);
            collector.cancelWaitMs = qint64(cancelWait) * 1000;
            poll = std::min(cancelWait, int(PollSeconds));
        }
        dbsettime(poll);
        const auto timeoutText = [&] {
            return QStringLiteral(
                       "Zeitüberschreitung: Der SQL Server hat die Anweisung nicht innerhalb von "
                       "%1 Sekunden ausgeführt; sie wurde abgebrochen.")
                .arg(timeoutSeconds);
        };

        SqlRecords rows;
        bool failed = false;
        bool haveRows = false;
        if (dbcmd(proc, text.constData()) == FAIL || dbsqlexec(proc) == FAIL) {
            failed = true;
        } else {
            RETCODE rc;
            while ((rc = dbresults(proc)) != NO_MORE_RESULTS) {
                if (rc == FAIL) {
                    failed = true;
                    break;
                }
                const int columns = dbnumcols(proc);
                if (keepRows && !haveRows && columns > 0) {
                    haveRows = true;
                    QStringList names;
                    for (int c = 1; c <= columns; ++c)
                        names.append(fromLibrary(dbcolname(proc, c)));
                    const auto shared = QSharedPointer<const QStringList>::create(names);
                    STATUS row;
                    while ((row = dbnextrow(proc)) != NO_MORE_ROWS) {
                        if (row == FAIL) {
                            failed = true;
                            break;
                        }
                        if (row != REG_ROW)
                            continue; // compute rows carry nothing we read
                        QVariantList values;
                        values.reserve(columns);
                        for (int c = 1; c <= columns; ++c)
                            values.append(columnValue(proc, c));
                        rows.append(SqlRecord(shared, values));
                    }
                    if (failed)
                        break;
                } else if (columns > 0) {
                    // A result nobody reads (DBCC SHRINKFILE's table) is released unread.
                    if (dbcanquery(proc) == FAIL) {
                        failed = true;
                        break;
                    }
                }
            }
        }
        // Leave the connection ready for the next batch; a cancel drops what is still pending.
        const bool lost = dbdead(proc);
        if (failed && !lost)
            dbcancel(proc);

        if (collector.timeouts > 0)
            throw ProgramError(timeoutText());
        if (failed || !collector.messages.isEmpty())
            // A connection the server closed fails without any message of its own.
            throw ProgramError(failureText(
                collector,
                lost ? QStringLiteral("Die Verbindung zum SQL Server ist abgebrochen.")
                     : QStringLiteral(
                           "Der SQL Server hat die Anweisung mit einem Fehler beendet.")));
        return rows;
    });
}

void SqlDbProcess::setEncryptionIni(const QString& iniPath) {
    std::lock_guard lock(g_encryptionState);
    s_encryptionIni = iniPath;
}

QStringList SqlDbProcess::takeUnverifiedServers() {
    std::lock_guard lock(g_encryptionState);
    return std::exchange(s_unverified, {});
}

void SqlDbProcess::setCancelWaitLimit(int seconds) {
    std::lock_guard lock(g_dblib);
    s_cancelWaitLimit = std::max(1, seconds);
}
