// The SQL Server stand-in that the backup tests talk to: checked against the
// real FreeTDS client (tsql) and against a raw TDS socket for what tsql
// cannot do (split packets, attention, dropped clients, parallel sessions).

#include "FreeTdsTestConfig.h"
#include "TdsTestServer.h"
#include "platform/ProgramError.h"
#include "sqlserver/SqlConnectionString.h"
#include "sqlserver/SqlQuery.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>

namespace {

const QByteArray kMagic = "ORVELSIMBACKUP01";
constexpr quint32 kTds74 = 0x74000004;

struct TsqlResult {
    int exitCode = -1;
    QString output;
};

// Runs tsql against the server with its own freetds.conf; the password goes
// in on stdin (tsql reads it there when no terminal is attached).
TsqlResult runTsql(int port, const QString& script, const QString& confLines = QString(),
                   const QString& user = QStringLiteral("sa"),
                   const QString& password = QStringLiteral("geheim"),
                   const QString& database = QStringLiteral("Lager"),
                   const QString& tdsVersion = QString()) {
    TsqlResult result;
    QTemporaryDir dir;
    QFile conf(dir.filePath(QStringLiteral("freetds.conf")));
    if (!conf.open(QIODevice::WriteOnly))
        return result;
    conf.write(QStringLiteral("[global]\n\ttds version = auto\n%1\n").arg(confLines).toUtf8());
    conf.close();

    QProcess tsql;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("FREETDSCONF"), conf.fileName());
    // With -H tsql takes the protocol version from TDSVER only.
    if (tdsVersion.isEmpty())
        env.remove(QStringLiteral("TDSVER"));
    else
        env.insert(QStringLiteral("TDSVER"), tdsVersion);
    tsql.setProcessEnvironment(env);
    tsql.setProcessChannelMode(QProcess::MergedChannels);
    tsql.start(QStringLiteral("tsql"),
               {QStringLiteral("-H"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                QString::number(port), QStringLiteral("-U"), user, QStringLiteral("-D"), database});
    if (!tsql.waitForStarted(10000))
        return result;
    tsql.write((password + QStringLiteral("\n") + script + QStringLiteral("\nexit\n")).toUtf8());
    tsql.closeWriteChannel();
    if (!tsql.waitForFinished(30000)) {
        tsql.kill();
        tsql.waitForFinished();
    }
    result.exitCode = tsql.exitCode();
    result.output = QString::fromUtf8(tsql.readAll());
    return result;
}

QJsonObject database(const QString& name, const QString& model, qint64 backupBytes = 65536,
                     qint64 logBytes = 8192) {
    return QJsonObject{
        {QStringLiteral("recovery_model"), model},
        {QStringLiteral("files"),
         QJsonArray{QJsonObject{{QStringLiteral("file_id"), 1},
                                {QStringLiteral("type"), 0},
                                {QStringLiteral("name"), name},
                                {QStringLiteral("size"), 1024}},
                    QJsonObject{{QStringLiteral("file_id"), 2},
                                {QStringLiteral("type"), 1},
                                {QStringLiteral("name"), name + QStringLiteral("_log")},
                                {QStringLiteral("size"), 128}}}},
        {QStringLiteral("backup_bytes"), backupBytes},
        {QStringLiteral("log_backup_bytes"), logBytes}};
}

struct BackupSet {
    QJsonObject header;
    QByteArray payload;
};

// Splits a backup media file into its sets; fails the parse on any stray byte.
std::optional<QList<BackupSet>> readSets(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray data = file.readAll();
    QList<BackupSet> sets;
    qsizetype pos = 0;
    while (pos < data.size()) {
        if (data.mid(pos, kMagic.size()) != kMagic)
            return std::nullopt;
        const qsizetype eol = data.indexOf('\n', pos);
        if (eol < 0)
            return std::nullopt;
        BackupSet set;
        set.header =
            QJsonDocument::fromJson(data.mid(pos + kMagic.size(), eol - pos - kMagic.size()))
                .object();
        const qint64 bytes = set.header.value(QStringLiteral("bytes")).toInteger(-1);
        if (bytes < 0 || eol + 1 + bytes > data.size())
            return std::nullopt;
        set.payload = data.mid(eol + 1, bytes);
        sets.append(set);
        pos = eol + 1 + bytes;
    }
    return sets;
}

QByteArray ucs2(const QString& text) {
    QByteArray out;
    for (QChar c : text) {
        out.append(char(c.unicode() & 0xFF));
        out.append(char(c.unicode() >> 8));
    }
    return out;
}

struct ServerMessage {
    bool error = false;
    int number = 0;
    int severity = 0;
    QString text;
};

struct Reply {
    QList<ServerMessage> messages;
    QList<quint16> doneStatus;
    bool hasRows = false;

    bool hasMessage(int number) const {
        return std::any_of(messages.begin(), messages.end(),
                           [number](const ServerMessage& m) { return m.number == number; });
    }
};

// A bare TDS 7.4 client over a socket, for what FreeTDS does not let a test
// control: packet boundaries, attention and breaking off.
class RawTdsClient {
public:
    ~RawTdsClient() { close(); }

    bool connectTo(int port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(quint16(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return m_fd >= 0 && ::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }

    void close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    // Sends one message in packets carrying at most `chunk` payload bytes each.
    bool send(quint8 type, const QByteArray& payload, int chunk = 4088) {
        qsizetype pos = 0;
        quint8 packetId = 1;
        do {
            const QByteArray part = payload.mid(pos, chunk);
            pos += part.size();
            QByteArray packet(8, '\0');
            packet[0] = char(type);
            packet[1] = char(pos >= payload.size() ? 1 : 0);
            qToBigEndian<quint16>(quint16(part.size() + 8), packet.data() + 2);
            packet[6] = char(packetId++);
            packet += part;
            if (::send(m_fd, packet.constData(), size_t(packet.size()), MSG_NOSIGNAL) !=
                packet.size())
                return false;
        } while (pos < payload.size());
        return true;
    }

    bool sendAttention() { return send(0x06, QByteArray()); }

    // One whole reply; nullopt when the server closed the connection or took too long.
    std::optional<QByteArray> readMessage(int timeoutMs = 15000) {
        QByteArray payload;
        for (;;) {
            const auto header = readExact(8, timeoutMs);
            if (!header)
                return std::nullopt;
            const int length = qFromBigEndian<quint16>(header->constData() + 2);
            largestPacket = std::max(largestPacket, length);
            const auto body = readExact(length - 8, timeoutMs);
            if (!body)
                return std::nullopt;
            payload += *body;
            if (header->at(1) & 1)
                return payload;
        }
    }

    // True when the server closes the connection within the time.
    bool closedByPeer(int timeoutMs = 5000) {
        char byte;
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, timeoutMs) == 1 && ::recv(m_fd, &byte, 1, 0) == 0;
    }

    static QByteArray prelogin(quint8 encryption) {
        QByteArray msg;
        // VERSION at offset 11 (6 bytes), ENCRYPTION at offset 17 (1 byte), terminator.
        msg += QByteArray::fromHex("00000b0006"
                                   "0100110001"
                                   "ff");
        msg += QByteArray::fromHex("0b0000000000");
        msg += char(encryption);
        return msg;
    }

    static QByteArray login7(const QString& user, const QString& password, const QString& db,
                             quint32 packetSize) {
        QByteArray pw = ucs2(password);
        for (char& c : pw) {
            const auto b = quint8(c);
            c = char(quint8(((b << 4) | (b >> 4)) ^ 0xA5));
        }
        const QList<QByteArray> fields = {ucs2(QStringLiteral("testhost")),
                                          ucs2(user),
                                          pw,
                                          ucs2(QStringLiteral("rawtest")),
                                          ucs2(QStringLiteral("127.0.0.1")),
                                          QByteArray(),
                                          ucs2(QStringLiteral("raw")),
                                          QByteArray(),
                                          ucs2(db)};
        QByteArray fixed(94, '\0');
        qToLittleEndian<quint32>(kTds74, fixed.data() + 4);
        qToLittleEndian<quint32>(packetSize, fixed.data() + 8);
        QByteArray data;
        for (int i = 0; i < fields.size(); ++i) {
            qToLittleEndian<quint16>(quint16(94 + data.size()), fixed.data() + 36 + 4 * i);
            qToLittleEndian<quint16>(quint16(fields[i].size() / 2), fixed.data() + 38 + 4 * i);
            data += fields[i];
        }
        for (int off : {78, 82, 86})
            qToLittleEndian<quint16>(quint16(94 + data.size()), fixed.data() + off);
        QByteArray msg = fixed + data;
        qToLittleEndian<quint32>(quint32(msg.size()), msg.data());
        return msg;
    }

    static QByteArray batch(const QString& sql) {
        // ALL_HEADERS with the transaction descriptor header, then the text.
        QByteArray headers = QByteArray::fromHex("16000000"
                                                 "12000000"
                                                 "0200"
                                                 "0000000000000000"
                                                 "01000000");
        return headers + ucs2(sql);
    }

    static Reply parse(const QByteArray& data) {
        Reply reply;
        qsizetype pos = 0;
        auto u16 = [&](qsizetype at) { return qFromLittleEndian<quint16>(data.constData() + at); };
        while (pos < data.size()) {
            const quint8 token = quint8(data[pos]);
            if (token == 0xAA || token == 0xAB) {
                ServerMessage m;
                m.error = token == 0xAA;
                m.number = qFromLittleEndian<qint32>(data.constData() + pos + 3);
                m.severity = quint8(data[pos + 8]);
                const int chars = u16(pos + 9);
                m.text = QString::fromUtf16(
                    reinterpret_cast<const char16_t*>(data.constData() + pos + 11), chars);
                reply.messages.append(m);
                pos += 3 + u16(pos + 1);
            } else if (token == 0xE3 || token == 0xAD) {
                pos += 3 + u16(pos + 1);
            } else if (token == 0xFD || token == 0xFE || token == 0xFF) {
                reply.doneStatus.append(u16(pos + 1));
                pos += 13;
            } else {
                reply.hasRows = true; // result sets are read through tsql, not here
                break;
            }
        }
        return reply;
    }

    // PRELOGIN and LOGIN7, each message cut into packets of `chunk` bytes.
    std::optional<Reply> login(int port, const QString& password = QStringLiteral("geheim"),
                               quint32 packetSize = 4096, int chunk = 4088) {
        if (!connectTo(port) || !send(0x12, prelogin(0), chunk) || !readMessage())
            return std::nullopt;
        if (!send(0x10, login7(QStringLiteral("sa"), password, QStringLiteral("Lager"), packetSize),
                  chunk))
            return std::nullopt;
        const auto answer = readMessage();
        if (!answer)
            return std::nullopt;
        return parse(*answer);
    }

    std::optional<Reply> query(const QString& sql, int chunk = 4088) {
        if (!send(0x01, batch(sql), chunk))
            return std::nullopt;
        const auto answer = readMessage();
        if (!answer)
            return std::nullopt;
        return parse(*answer);
    }

    int largestPacket = 0;

private:
    std::optional<QByteArray> readExact(qsizetype n, int timeoutMs) {
        QByteArray out;
        QElapsedTimer timer;
        timer.start();
        while (out.size() < n) {
            pollfd p{m_fd, POLLIN, 0};
            const int left = int(timeoutMs - timer.elapsed());
            if (left <= 0 || ::poll(&p, 1, left) != 1)
                return std::nullopt;
            char buffer[65536];
            const ssize_t got =
                ::recv(m_fd, buffer, size_t(std::min<qsizetype>(n - out.size(), sizeof buffer)), 0);
            if (got <= 0)
                return std::nullopt;
            out.append(buffer, got);
        }
        return out;
    }

    int m_fd = -1;
};

QString sizeOfFile(const QString& path) {
    return QString::number(QFileInfo(path).size());
}

} // namespace

class TestTdsServer : public QObject {
    Q_OBJECT

private slots:
    void tsqlQueriesDatabaseFiles_data();
    void tsqlQueriesDatabaseFiles();
    void tsqlLoginRefused_data();
    void tsqlLoginRefused();
    void statementAnswers_data();
    void statementAnswers();
    void backupFilesHoldOneSetPerBackup();
    void backupMediaRules_data();
    void backupMediaRules();
    void restoreSequences_data();
    void restoreSequences();
    void restoreListsReadByTheProgramsClient();
    void splitPacketsAndSmallPacketSize();
    void cancelledBackupLeavesNoPartialSet_data();
    void cancelledBackupLeavesNoPartialSet();
    void delayDoesNotBlockOtherConnections();
    void injectedConnectionLoss_data();
    void injectedConnectionLoss();
    void encryptionDemandIsRefused();

private:
    FreeTdsTestConfig m_conf; // for the program's client; tsql gets one of its own
};

void TestTdsServer::tsqlQueriesDatabaseFiles_data() {
    QTest::addColumn<QString>("tdsVersion");
    QTest::addColumn<QString>("negotiated");
    QTest::newRow("auto") << "auto"
                          << "7.4";
    QTest::newRow("7.1") << "7.1"
                         << "7.1";
    QTest::newRow("7.2") << "7.2"
                         << "7.2";
    QTest::newRow("7.3") << "7.3"
                         << "7.3";
    QTest::newRow("7.4") << "7.4"
                         << "7.4";
}

void TestTdsServer::tsqlQueriesDatabaseFiles() {
    QFETCH(QString, tdsVersion);
    QFETCH(QString, negotiated);
    TdsTestServer srv;
    QVERIFY2(srv.start(TdsTestServer::defaultScenario()), qPrintable(srv.errorText()));

    const TsqlResult r = runTsql(srv.port(),
                                 QStringLiteral("select * from sys.database_files\ngo\n"
                                                "DBCC SHRINKFILE ()\ngo\nversion"),
                                 QString(), QStringLiteral("sa"), QStringLiteral("geheim"),
                                 QStringLiteral("Lager"), tdsVersion);
    QVERIFY2(r.exitCode == 0, qPrintable(r.output));
    QVERIFY2(r.output.contains(QStringLiteral("using TDS version ") + negotiated),
             qPrintable(r.output));
    // Columns the program reads, and both rows in scenario order.
    static const QRegularExpression header(
        QStringLiteral("file_id\\t.*\\btype\\t.*\\bname\\t.*\\bsize\\t"));
    QVERIFY2(header.match(r.output).hasMatch(), qPrintable(r.output));
    static const QRegularExpression rows(
        QStringLiteral("^1\\t[0-9A-F-]{36}\\t0\\tROWS\\t1\\tLager\\t.*\\t1024\\t.*\\n"
                       "2\\t[0-9A-F-]{36}\\t1\\tLOG\\t0\\tLager_log\\t.*\\t128\\t"),
        QRegularExpression::MultilineOption);
    QVERIFY2(rows.match(r.output).hasMatch(), qPrintable(r.output));
    QVERIFY2(r.output.contains(QStringLiteral("(2 rows affected)")), qPrintable(r.output));
    // The message token's layout differs between the versions too.
    QVERIFY2(
        r.output.contains(QStringLiteral("Msg 102 (severity 15, state 1) from SQLTEST Line 1:\n"
                                         "\t\"Incorrect syntax near ')'.\"")),
        qPrintable(r.output));
    QCOMPARE(srv.batches(), (QStringList{QStringLiteral("select * from sys.database_files\n"),
                                         QStringLiteral("DBCC SHRINKFILE ()\n")}));
}

void TestTdsServer::tsqlLoginRefused_data() {
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("database");
    QTest::addColumn<QStringList>("expected");
    const QString loginFailed =
        QStringLiteral("Msg 18456 (severity 14, state 1) from SQLTEST Line 1:\n"
                       "\t\"Login failed for user '%1'.\"");
    QTest::newRow("wrong password")
        << "sa"
        << "Geheim"
        << "Lager" << QStringList{loginFailed.arg(QStringLiteral("sa"))};
    QTest::newRow("unknown login")
        << "backup"
        << "geheim"
        << "Lager" << QStringList{loginFailed.arg(QStringLiteral("backup"))};
    QTest::newRow("unknown database")
        << "sa"
        << "geheim"
        << "Lagerx"
        << QStringList{QStringLiteral("Msg 4060 (severity 11, state 1) from SQLTEST Line 1:\n"
                                      "\t\"Cannot open database \"Lagerx\" requested by the login. "
                                      "The login failed.\""),
                       loginFailed.arg(QStringLiteral("sa"))};
}

void TestTdsServer::tsqlLoginRefused() {
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, database);
    QFETCH(QStringList, expected);
    TdsTestServer srv;
    QVERIFY2(srv.start(TdsTestServer::defaultScenario()), qPrintable(srv.errorText()));

    const TsqlResult r = runTsql(srv.port(), QStringLiteral("select * from sys.database_files\ngo"),
                                 QString(), user, password, database);
    QVERIFY2(r.exitCode != 0, qPrintable(r.output));
    qsizetype at = 0;
    for (const QString& text : expected) {
        at = r.output.indexOf(text, at);
        QVERIFY2(at >= 0, qPrintable(QStringLiteral("missing in order: ") + text +
                                     QStringLiteral("\n") + r.output));
    }
    QVERIFY(srv.batches().isEmpty());
}

void TestTdsServer::statementAnswers_data() {
    // tsql prints results on stdout and server messages on stderr, so the
    // expected texts are looked for one by one, not in order.
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QStringList>("absent");

    QTest::newRow("recovery model")
        << "SELECT Name, recovery_model_desc FROM sys.databases WHERE name='Lager'"
        << QStringList{QStringLiteral("Name\trecovery_model_desc\nLager\tFULL\n(1 row affected)")}
        << QStringList();
    QTest::newRow("recovery model, unknown database")
        << "SELECT Name, recovery_model_desc FROM sys.databases WHERE name='Lagerx'"
        << QStringList{QStringLiteral("Name\trecovery_model_desc\n")}
        << QStringList{QStringLiteral("FULL"), QStringLiteral("Msg ")};
    QTest::newRow("recovery model, quoted name")
        << "SELECT Name, recovery_model_desc FROM sys.databases WHERE name='it''s]odd'"
        << QStringList{QStringLiteral("\nit's]odd\tSIMPLE\n")}
        << QStringList{QStringLiteral("Lager\t")};
    QTest::newRow("checkdb")
        << "DBCC CHECKDB ([Lager])"
        << QStringList{QStringLiteral("\"CHECKDB found 0 allocation errors and 0 consistency "
                                      "errors in database 'Lager'.\""),
                       QStringLiteral("\"DBCC execution completed.")}
        << QStringList{QStringLiteral("severity 16")};
    QTest::newRow("checkdb, bracket quoting")
        << "DBCC CHECKDB ([it's]]odd])" << QStringList{QStringLiteral("in database 'it's]odd'.")}
        << QStringList{QStringLiteral("severity 16")};
    QTest::newRow("checkdb, unknown database")
        << "DBCC CHECKDB ([Lagerx])"
        << QStringList{QStringLiteral("Msg 2520 (severity 16, state 11) from SQLTEST Line 1:\n"
                                      "\t\"Could not find database 'Lagerx'.")}
        << QStringList{QStringLiteral("CHECKDB found")};
    QTest::newRow("shrink data file")
        << "DBCC SHRINKFILE (1)"
        << QStringList{QStringLiteral(
                           "DbId\tFileId\tCurrentSize\tMinimumSize\tUsedPages\tEstimatedPages\n"),
                       QStringLiteral("\t1\t1024\t"), QStringLiteral("\"DBCC execution completed.")}
        << QStringList{QStringLiteral("severity 16")};
    QTest::newRow("shrink unknown file")
        << "DBCC SHRINKFILE (7)"
        << QStringList{QStringLiteral(
               "Msg 8985 (severity 16, state 1) from SQLTEST Line 1:\n"
               "\t\"Could not locate file '7' for database 'Lager' in sys.database_files.")}
        << QStringList{QStringLiteral("DbId")};
    QTest::newRow("shrink without file id")
        << "DBCC SHRINKFILE ()"
        << QStringList{QStringLiteral("Msg 102 (severity 15, state 1) from SQLTEST Line 1:\n"
                                      "\t\"Incorrect syntax near ')'.\"")}
        << QStringList{QStringLiteral("DbId")};
    QTest::newRow("unknown statement")
        << "frobnicate all the things"
        << QStringList{QStringLiteral("Msg 102 (severity 15, state 1) from SQLTEST Line 1:\n"
                                      "\t\"Incorrect syntax near 'frobnicate'.\"")}
        << QStringList();
    QTest::newRow("log backup, simple recovery")
        << "BACKUP LOG [it's]]odd] TO DISK='/tmp/never-written.trn'"
        << QStringList{QStringLiteral("Msg 4208 (severity 16, state 1) from SQLTEST Line 1:\n"
                                      "\t\"The statement BACKUP LOG is not allowed while the "
                                      "recovery model is SIMPLE."),
                       QStringLiteral("Msg 3013 (severity 16, state 1) from SQLTEST Line 1:\n"
                                      "\t\"BACKUP LOG is terminating abnormally.\"")}
        << QStringList{QStringLiteral("Processed")};
    QTest::newRow("backup into a missing folder")
        << "BACKUP DATABASE [Lager] TO DISK='/nonexistent-folder/Lager.BAK'"
        << QStringList{QStringLiteral(
               "Msg 3201 (severity 16, state 1) from SQLTEST Line 1:\n"
               "\t\"Cannot open backup device '/nonexistent-folder/Lager.BAK'. Operating "
               "system error 3(The system cannot find the path specified.).\"\n"
               "Msg 3013 (severity 16, state 1) from SQLTEST Line 1:\n"
               "\t\"BACKUP DATABASE is terminating abnormally.\"")}
        << QStringList{QStringLiteral("Processed")};
    QTest::newRow("backup of an unknown database")
        << "BACKUP DATABASE [Lagerx] TO DISK='/tmp/never-written.bak'"
        << QStringList{QStringLiteral("Msg 911 (severity 16, state 11)"),
                       QStringLiteral("Msg 3013")}
        << QStringList{QStringLiteral("Processed")};
    QTest::newRow("injected failure")
        << "DBCC CHECKDB ([Kaputt])"
        << QStringList{QStringLiteral(
               "Msg 8921 (severity 16, state 1) from SQLTEST Line 1:\n"
               "\t\"Check terminated. A failure was detected while collecting facts.\"")}
        << QStringList{QStringLiteral("CHECKDB found")};
    QTest::newRow("probes") << "select @@spid, db_name() AS dbname, 'a''b' x, 42"
                            << QStringList{QStringLiteral("\tdbname\tx\t\n"),
                                           QStringLiteral("\tLager\ta'b\t42\n")}
                            << QStringList{QStringLiteral("Msg ")};
    QTest::newRow("several statements in one batch")
        << "SET TEXTSIZE 2147483647\nUSE [it's]]odd]\nselect db_name()"
        << QStringList{QStringLiteral("\nit's]odd\n(1 row affected)")}
        << QStringList{QStringLiteral("Msg ")};
}

void TestTdsServer::statementAnswers() {
    QFETCH(QString, sql);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, absent);
    QJsonObject scenario = TdsTestServer::defaultScenario();
    QJsonObject dbs = scenario[QStringLiteral("databases")].toObject();
    dbs[QStringLiteral("it's]odd")] = database(QStringLiteral("odd"), QStringLiteral("SIMPLE"));
    dbs[QStringLiteral("Kaputt")] = database(QStringLiteral("Kaputt"), QStringLiteral("FULL"));
    scenario[QStringLiteral("databases")] = dbs;
    scenario[QStringLiteral("fail")] = QJsonArray{QJsonObject{
        {QStringLiteral("match"), QStringLiteral("CHECKDB ([Kaputt]")},
        {QStringLiteral("number"), 8921},
        {QStringLiteral("severity"), 16},
        {QStringLiteral("message"),
         QStringLiteral("Check terminated. A failure was detected while collecting facts.")}}};
    TdsTestServer srv;
    QVERIFY2(srv.start(scenario), qPrintable(srv.errorText()));

    const TsqlResult r = runTsql(srv.port(), sql + QStringLiteral("\ngo"));
    for (const QString& text : expected)
        QVERIFY2(r.output.contains(text),
                 qPrintable(QStringLiteral("missing: ") + text + QStringLiteral("\n") + r.output));
    for (const QString& text : absent)
        QVERIFY2(!r.output.contains(text), qPrintable(QStringLiteral("unexpected: ") + text +
                                                      QStringLiteral("\n") + r.output));
    QCOMPARE(srv.batches(), QStringList{sql + QStringLiteral("\n")});
}

void TestTdsServer::backupFilesHoldOneSetPerBackup() {
    QJsonObject scenario = TdsTestServer::defaultScenario();
    scenario[QStringLiteral("databases")] =
        QJsonObject{{QStringLiteral("Lager"),
                     database(QStringLiteral("Lager"), QStringLiteral("FULL"), 3 << 20, 70000)}};
    TdsTestServer srv;
    QVERIFY2(srv.start(scenario), qPrintable(srv.errorText()));
    QTemporaryDir dir;
    const QString bak = dir.filePath(QStringLiteral("Lager.BAK"));
    const QString trn = dir.filePath(QStringLiteral("Lager.TRN"));

    const TsqlResult r =
        runTsql(srv.port(), QStringLiteral("BACKUP DATABASE [Lager] TO DISK='%1'\ngo\n"
                                           "BACKUP LOG [Lager] TO DISK='%2'\ngo\n"
                                           "BACKUP LOG [Lager] TO DISK='%2'\ngo")
                                .arg(bak, trn));
    QVERIFY2(r.exitCode == 0 && !r.output.contains(QStringLiteral("severity 16")),
             qPrintable(r.output));
    for (const char* text :
         {"Processed 1024 pages for database 'Lager', file 'Lager' on file 1.",
          "BACKUP DATABASE successfully processed ",
          "file 'Lager_log' on file 1.\"\nMsg 3014 (severity 0, state 1) from SQLTEST Line 1:\n"
          "\t\"BACKUP LOG successfully processed",
          "file 'Lager_log' on file 2."})
        QVERIFY2(r.output.contains(QLatin1String(text)), text);

    const auto full = readSets(bak);
    QVERIFY2(full.has_value(), "the full backup file is not a sequence of whole backup sets");
    QCOMPARE(full->size(), 1);
    QCOMPARE(full->at(0).header.value(QStringLiteral("database")).toString(),
             QStringLiteral("Lager"));
    QCOMPARE(full->at(0).header.value(QStringLiteral("kind")).toString(), QStringLiteral("full"));
    QCOMPARE(full->at(0).payload.size(), 3 << 20);

    const auto logs = readSets(trn);
    QVERIFY2(logs.has_value(), "the log backup file is not a sequence of whole backup sets");
    QCOMPARE(logs->size(), 2);
    for (const BackupSet& set : *logs) {
        QCOMPARE(set.header.value(QStringLiteral("kind")).toString(), QStringLiteral("log"));
        QCOMPARE(set.payload.size(), 70000);
    }

    // The payload must compress like real data but never repeat a page, so a
    // duplicated or dropped chunk in an archive shows up.
    const QByteArray payload = full->at(0).payload;
    QCOMPARE(payload.count(kMagic), 0);
    QVERIFY(qCompress(payload).size() < payload.size() / 3);
    QSet<QByteArray> pages;
    for (qsizetype at = 0; at < payload.size(); at += 4096)
        pages.insert(payload.mid(at, 4096));
    QCOMPARE(pages.size(), int(payload.size() / 4096));
}

void TestTdsServer::backupMediaRules_data() {
    QTest::addColumn<QByteArray>("existing");
    QTest::addColumn<QString>("with");
    QTest::addColumn<int>("sets");
    QTest::addColumn<QString>("expected");
    const QByteArray oneSet =
        kMagic + "{\"database\": \"Lager\", \"kind\": \"full\", \"bytes\": 3}\nabc";
    // Without WITH INIT a backup is appended to the media, as SQL Server does;
    // the program relies on deleting the old file first.
    QTest::newRow("appends to an existing set") << oneSet << "" << 2 << "on file 2.";
    QTest::newRow("WITH INIT overwrites") << oneSet << " WITH INIT" << 1 << "on file 1.";
    QTest::newRow("foreign file is refused")
        << QByteArray("not a backup") << "" << -1
        << "Msg 3241 (severity 16, state 1) from SQLTEST Line 1:\n\t\"The media family on device";
}

void TestTdsServer::backupMediaRules() {
    QFETCH(QByteArray, existing);
    QFETCH(QString, with);
    QFETCH(int, sets);
    QFETCH(QString, expected);
    TdsTestServer srv;
    QVERIFY2(srv.start(TdsTestServer::defaultScenario()), qPrintable(srv.errorText()));
    QTemporaryDir dir;
    const QString bak = dir.filePath(QStringLiteral("Lager.BAK"));
    QFile file(bak);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(existing) == existing.size());
    file.close();

    const TsqlResult r = runTsql(
        srv.port(), QStringLiteral("BACKUP DATABASE [Lager] TO DISK='%1'%2\ngo").arg(bak, with));
    QVERIFY2(r.output.contains(expected), qPrintable(r.output));
    if (sets < 0) {
        QFile check(bak);
        QVERIFY(check.open(QIODevice::ReadOnly));
        QCOMPARE(check.readAll(), existing);
    } else {
        const auto found = readSets(bak);
        QVERIFY(found.has_value());
        QCOMPARE(found->size(), sets);
    }
}

void TestTdsServer::restoreSequences_data() {
    // Each row runs after a full backup of Lager to {bak} and two log backups
    // to {trn}; {data} is the server's data folder, whose local stand-in must
    // hold exactly `files` afterwards.
    QTest::addColumn<qsizetype>("damagedByte"); // flipped in {bak} first; -1: none
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QStringList>("absent");
    QTest::addColumn<QStringList>("files");

    const QString restoreCopy =
        QStringLiteral("RESTORE DATABASE [Lager_Kopie] FROM DISK = N'{bak}' WITH FILE = 1, "
                       "MOVE N'Lager' TO N'{data}Lager_Kopie.mdf', MOVE N'Lager_log' TO "
                       "N'{data}Lager_Kopie.ldf', ");
    const QString state =
        QStringLiteral("\ngo\nSELECT name, state_desc FROM sys.databases WHERE name = N'%1'");
    const QString copyState = state.arg(QStringLiteral("Lager_Kopie"));
    const QString terminating =
        QStringLiteral("Msg 3013 (severity 16, state 1) from SQLTEST Line 1:\n"
                       "\t\"RESTORE DATABASE is terminating abnormally.\"");
    const QString logTerminating =
        QStringLiteral("Msg 3013 (severity 16, state 1) from SQLTEST Line 1:\n"
                       "\t\"RESTORE LOG is terminating abnormally.\"");
    const QString incorrectlyFormed =
        QStringLiteral("Msg 3241 (severity 16, state 1) from SQLTEST Line 1:\n"
                       "\t\"The media family on device '{bak}' is incorrectly formed. SQL Server "
                       "cannot process this media family.\"");
    const QStringList copyFiles{QStringLiteral("Lager_Kopie.ldf"),
                                QStringLiteral("Lager_Kopie.mdf")};

    QTest::newRow("full and two log sets in order, then CHECKDB")
        << qsizetype(-1)
        << restoreCopy + QStringLiteral("NORECOVERY, STATS = 50") + copyState +
               QStringLiteral("\ngo\nRESTORE LOG [Lager_Kopie] FROM DISK = N'{trn}' WITH FILE = "
                              "1, NORECOVERY\ngo\nRESTORE LOG [Lager_Kopie] FROM DISK = N'{trn}' "
                              "WITH FILE = 2, RECOVERY") +
               copyState + QStringLiteral("\ngo\nDBCC CHECKDB ([Lager_Kopie]) WITH NO_INFOMSGS")
        << QStringList{QStringLiteral("\"Processed 1024 pages for database 'Lager_Kopie', file "
                                      "'Lager' on file 1.\""),
                       QStringLiteral("\"50 percent processed.\""),
                       QStringLiteral("\"RESTORE DATABASE successfully processed 1026 pages"),
                       QStringLiteral("\nLager_Kopie\tRESTORING\n"),
                       QStringLiteral("file 'Lager_log' on file 2.\"\nMsg 3014 (severity 0, "
                                      "state 1) from SQLTEST Line 1:\n\t\"RESTORE LOG "
                                      "successfully processed"),
                       QStringLiteral("\nLager_Kopie\tONLINE\n"),
                       QStringLiteral("\"DBCC execution completed.")}
        << QStringList{QStringLiteral("severity 16")} << copyFiles;
    QTest::newRow("a changed payload byte")
        << qsizetype(40000) << restoreCopy + QStringLiteral("RECOVERY") + copyState
        << QStringList{incorrectlyFormed, terminating}
        << QStringList{QStringLiteral("Lager_Kopie\t"), QStringLiteral("Processed")}
        << QStringList();
    QTest::newRow("VERIFYONLY of a changed set")
        << qsizetype(40000)
        << QStringLiteral("RESTORE VERIFYONLY FROM DISK = N'{bak}'\ngo\n"
                          "RESTORE VERIFYONLY FROM DISK = N'{trn}' WITH FILE = 2")
        << QStringList{QStringLiteral("Msg 3189 (severity 16, state 1) from SQLTEST Line 1:\n"
                                      "\t\"Damage to the backup set was detected.\"\n"
                                      "Msg 3013 (severity 16, state 1) from SQLTEST Line 1:\n"
                                      "\t\"VERIFY DATABASE is terminating abnormally.\""),
                       QStringLiteral("\"The backup set on file 2 is valid.\"")}
        << QStringList{QStringLiteral("on file 1 is valid")} << QStringList();
    QTest::newRow("a changed header byte")
        << qsizetype(18) << restoreCopy + QStringLiteral("RECOVERY") + copyState
        << QStringList{incorrectlyFormed, terminating}
        << QStringList{QStringLiteral("Lager_Kopie\t")} << QStringList();
    QTest::newRow("existing target without REPLACE")
        << qsizetype(-1)
        << QStringLiteral("RESTORE DATABASE [Kaputt] FROM DISK = N'{bak}' WITH FILE = 1, MOVE "
                          "N'Lager' TO N'{data}Kaputt.mdf', MOVE N'Lager_log' TO "
                          "N'{data}Kaputt_log.ldf', RECOVERY")
        << QStringList{QStringLiteral("Msg 3154 (severity 16, state 4) from SQLTEST Line 1:\n"
                                      "\t\"The backup set holds a backup of a database other "
                                      "than the existing 'Kaputt' database.\""),
                       terminating}
        << QStringList{QStringLiteral("Processed")} << QStringList();
    QTest::newRow("existing target with REPLACE, onto its own files")
        << qsizetype(-1)
        << QStringLiteral("RESTORE DATABASE [Kaputt] FROM DISK = N'{bak}' WITH FILE = 1, MOVE "
                          "N'Lager' TO N'{data}Kaputt.mdf', MOVE N'Lager_log' TO "
                          "N'{data}Kaputt_log.ldf', NORECOVERY, REPLACE") +
               state.arg(QStringLiteral("Kaputt"))
        << QStringList{QStringLiteral("\"RESTORE DATABASE successfully processed 1026 pages"),
                       QStringLiteral("\nKaputt\tRESTORING\n")}
        << QStringList{QStringLiteral("severity 16")}
        << QStringList{QStringLiteral("Kaputt.mdf"), QStringLiteral("Kaputt_log.ldf")};
    QTest::newRow("the backed-up database itself, tail of the log not backed up")
        << qsizetype(-1)
        << QStringLiteral("RESTORE DATABASE [Lager] FROM DISK = N'{bak}' WITH RECOVERY")
        << QStringList{QStringLiteral("Msg 3159 (severity 16, state 1) from SQLTEST Line 1:\n"
                                      "\t\"The tail of the log for the database \"Lager\" has "
                                      "not been backed up."),
                       terminating}
        << QStringList{QStringLiteral("Processed")} << QStringList();
    QTest::newRow("MOVE onto a file another database uses")
        << qsizetype(-1)
        << QStringLiteral("RESTORE DATABASE [Lager_Kopie] FROM DISK = N'{bak}' WITH MOVE N'Lager' "
                          "TO N'{data}Kaputt.mdf', MOVE N'Lager_log' TO N'{data}Lager_Kopie.ldf'") +
               copyState
        << QStringList{QStringLiteral("Msg 1834 (severity 16, state 1) from SQLTEST Line 1:\n"
                                      "\t\"The file '{data}Kaputt.mdf' cannot be overwritten.  "
                                      "It is being used by database 'Kaputt'.\""),
                       QStringLiteral("Msg 3119 (severity 16, state 1)"), terminating}
        << QStringList{QStringLiteral("Lager_Kopie\t"), QStringLiteral("Processed")}
        << QStringList();
    QTest::newRow("MOVE into a folder the server does not have")
        << qsizetype(-1)
        << QStringLiteral("RESTORE DATABASE [Lager_Kopie] FROM DISK = N'{bak}' WITH MOVE N'Lager' "
                          "TO N'{data}neu/Lager_Kopie.mdf', MOVE N'Lager_log' TO "
                          "N'{data}Lager_Kopie.ldf'") +
               copyState
        << QStringList{QStringLiteral("Msg 5133 (severity 16, state 1) from SQLTEST Line 1:\n"
                                      "\t\"Directory lookup for the file "
                                      "\"{data}neu/Lager_Kopie.mdf\" failed with the operating "
                                      "system error 3(The system cannot find the path "
                                      "specified.).\""),
                       QStringLiteral("Msg 3119 (severity 16, state 1)"), terminating}
        << QStringList{QStringLiteral("Lager_Kopie\t"), QStringLiteral("Processed")}
        << QStringList();
    QTest::newRow("a logical name the set does not have")
        << qsizetype(-1)
        << QStringLiteral("RESTORE DATABASE [Lager_Kopie] FROM DISK = N'{bak}' WITH MOVE "
                          "N'Lager_Daten' TO N'{data}Lager_Kopie.mdf'")
        << QStringList{QStringLiteral("Msg 3234 (severity 16, state 2) from SQLTEST Line 1:\n"
                                      "\t\"Logical file 'Lager_Daten' is not part of database "
                                      "'Lager_Kopie'."),
                       terminating}
        << QStringList{QStringLiteral("Processed")} << QStringList();
    QTest::newRow("log sets out of order")
        << qsizetype(-1)
        << restoreCopy +
               QStringLiteral("NORECOVERY\ngo\nRESTORE LOG [Lager_Kopie] FROM DISK = "
                              "N'{trn}' WITH FILE = 2, RECOVERY") +
               copyState
        << QStringList{QStringLiteral("Msg 4305 (severity 16, state 1) from SQLTEST Line 1:\n"
                                      "\t\"The log in this backup set begins at LSN "),
                       QStringLiteral(", which is too recent to apply to the database. An "
                                      "earlier log backup that includes LSN "),
                       logTerminating, QStringLiteral("\nLager_Kopie\tRESTORING\n")}
        << QStringList{QStringLiteral("RESTORE LOG successfully")} << copyFiles;
    QTest::newRow("a log set applied twice")
        << qsizetype(-1)
        << restoreCopy +
               QStringLiteral("NORECOVERY\ngo\nRESTORE LOG [Lager_Kopie] FROM DISK = "
                              "N'{trn}' WITH FILE = 1, NORECOVERY\ngo\nRESTORE LOG "
                              "[Lager_Kopie] FROM DISK = N'{trn}' WITH FILE = 1, RECOVERY")
        << QStringList{QStringLiteral("Msg 4326 (severity 16, state 1) from SQLTEST Line 1:\n"
                                      "\t\"The log in this backup set terminates at LSN "),
                       logTerminating}
        << QStringList() << copyFiles;
    QTest::newRow("log onto an ONLINE database")
        << qsizetype(-1)
        << restoreCopy + QStringLiteral("RECOVERY\ngo\nRESTORE LOG [Lager_Kopie] FROM DISK = "
                                        "N'{trn}' WITH FILE = 1, RECOVERY")
        << QStringList{QStringLiteral("Msg 3117 (severity 16, state 4) from SQLTEST Line 1:\n"
                                      "\t\"The log or differential backup cannot be restored "
                                      "because no files are ready to rollforward.\""),
                       logTerminating}
        << QStringList{QStringLiteral("RESTORE LOG successfully")} << copyFiles;
    QTest::newRow("a restoring database is not usable until WITH RECOVERY")
        << qsizetype(-1)
        << restoreCopy +
               QStringLiteral("NORECOVERY\ngo\nDBCC CHECKDB ([Lager_Kopie]) WITH NO_INFOMSGS\ngo\n"
                              "USE [Lager_Kopie]\ngo\nRESTORE DATABASE [Lager_Kopie] WITH RECOVERY"
                              "\ngo\nUSE [Lager_Kopie]\nselect db_name() AS here") +
               copyState
        << QStringList{QStringLiteral("Msg 927 (severity 14, state 2) from SQLTEST Line 1:\n"
                                      "\t\"Database 'Lager_Kopie' cannot be opened. It is in the "
                                      "middle of a restore.\"\nMsg 927"),
                       QStringLiteral("\"RESTORE DATABASE successfully processed 0 pages"),
                       QStringLiteral("here\nLager_Kopie\n"),
                       QStringLiteral("\nLager_Kopie\tONLINE\n")}
        << QStringList{QStringLiteral("DBCC execution completed")} << copyFiles;
    QTest::newRow("a log set given to RESTORE DATABASE")
        << qsizetype(-1)
        << QStringLiteral("RESTORE DATABASE [Lager_Kopie] FROM DISK = N'{trn}' WITH FILE = 2")
        << QStringList{QStringLiteral("Msg 3135 (severity 16, state 2)"), terminating}
        << QStringList{QStringLiteral("Processed")} << QStringList();
    QTest::newRow("single user, then dropped")
        << qsizetype(-1)
        << restoreCopy + QStringLiteral("RECOVERY\ngo\nALTER DATABASE [Lager_Kopie] SET "
                                        "SINGLE_USER WITH ROLLBACK IMMEDIATE\ngo\nSELECT name, "
                                        "user_access_desc FROM sys.databases WHERE name = "
                                        "N'Lager_Kopie'\ngo\nDROP DATABASE [Lager_Kopie]\ngo\n"
                                        "SELECT DB_ID(N'Lager_Kopie') AS id, DB_ID(N'Kaputt') AS k")
        << QStringList{QStringLiteral("\nLager_Kopie\tSINGLE_USER\n"),
                       QStringLiteral("id\tk\nNULL\t5\n")}
        << QStringList{QStringLiteral("severity 1")} << QStringList();
    QTest::newRow("drop of an unknown database")
        << qsizetype(-1) << QStringLiteral("DROP DATABASE [Lager_Kopie]")
        << QStringList{QStringLiteral("Msg 3701 (severity 11, state 1) from SQLTEST Line 1:\n"
                                      "\t\"Cannot drop the database 'Lager_Kopie', because it "
                                      "does not exist or you do not have permission.\"")}
        << QStringList() << QStringList();
    QTest::newRow("CHECKDB finds damage in a restored database")
        << qsizetype(-1)
        << QStringLiteral("RESTORE DATABASE [Defekt] FROM DISK = N'{bak}' WITH MOVE N'Lager' TO "
                          "N'{data}Defekt.mdf', MOVE N'Lager_log' TO N'{data}Defekt.ldf'\ngo\n"
                          "DBCC CHECKDB ([Defekt]) WITH NO_INFOMSGS")
        << QStringList{QStringLiteral("Msg 8939 (severity 16, state 98) from SQLTEST Line 1:\n"
                                      "\t\"Table error: "),
                       QStringLiteral("\"CHECKDB found 0 allocation errors and 1 consistency "
                                      "errors in database 'Defekt'.\"")}
        << QStringList() << QStringList{QStringLiteral("Defekt.ldf"), QStringLiteral("Defekt.mdf")};
    QTest::newRow("an injected failure")
        << qsizetype(-1) << restoreCopy + QStringLiteral("RECOVERY, STATS = 7") + copyState
        << QStringList{QStringLiteral("Msg 3201 (severity 16, state 1) from SQLTEST Line 1:\n"
                                      "\t\"Cannot open backup device.\"")}
        << QStringList{QStringLiteral("Lager_Kopie\t")} << QStringList();
    QTest::newRow("a backup file that is not there")
        << qsizetype(-1)
        << QStringLiteral("RESTORE FILELISTONLY FROM DISK = N'{bak}.alt'\ngo\n"
                          "RESTORE DATABASE [Lager_Kopie] FROM DISK = N'/nonexistent-folder/L.BAK'")
        << QStringList{QStringLiteral("Msg 3201 (severity 16, state 2) from SQLTEST Line 1:\n"
                                      "\t\"Cannot open backup device '{bak}.alt'. Operating system "
                                      "error 2(The system cannot find the file specified.).\"\n"
                                      "Msg 3013 (severity 16, state 1) from SQLTEST Line 1:\n"
                                      "\t\"RESTORE FILELIST is terminating abnormally.\""),
                       QStringLiteral("Operating system error 3(The system cannot find the path "
                                      "specified.).\"\n") +
                           terminating}
        << QStringList{QStringLiteral("LogicalName")} << QStringList();
    QTest::newRow("file list and headers")
        << qsizetype(-1)
        << QStringLiteral("RESTORE FILELISTONLY FROM DISK = N'{bak}' WITH FILE = 1\ngo\n"
                          "RESTORE HEADERONLY FROM DISK = N'{trn}'\ngo\n"
                          "SELECT SERVERPROPERTY('InstanceDefaultDataPath') AS DataPath, "
                          "SERVERPROPERTY('InstanceDefaultLogPath') AS LogPath")
        << QStringList{QStringLiteral("LogicalName\tPhysicalName\tType\tFileGroupName\tSize\t"
                                      "MaxSize\tFileId\t"),
                       QStringLiteral("\nLager\t{data}Lager.mdf\tD\tPRIMARY\t8388608\t"
                                      "35184372080640\t1\t"),
                       QStringLiteral("\nLager_log\t/var/opt/mssql/log/Lager_log.ldf\tL\tNULL\t"
                                      "1048576\t2199023255552\t2\t"),
                       QStringLiteral("BackupName\tBackupDescription\tBackupType\tExpirationDate\t"
                                      "Compressed\tPosition\tDeviceType\tUserName\tServerName\t"
                                      "DatabaseName\t"),
                       QStringLiteral("\nNULL\tNULL\t2\tNULL\t0\t1\t2\tsa\tSQLTEST\tLager\t"),
                       QStringLiteral("\nNULL\tNULL\t2\tNULL\t0\t2\t2\tsa\tSQLTEST\tLager\t"),
                       QStringLiteral("\tFULL\tNULL\tNULL\tTransaction Log\t"),
                       QStringLiteral("DataPath\tLogPath\n{data}\t/var/opt/mssql/log/\n")}
        << QStringList{QStringLiteral("Msg ")} << QStringList();
}

void TestTdsServer::restoreSequences() {
    QFETCH(qsizetype, damagedByte);
    QFETCH(QString, sql);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, absent);
    QFETCH(QStringList, files);
    const QString serverData = QStringLiteral("/var/opt/mssql/data/");
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("data")));
    QJsonObject scenario = TdsTestServer::defaultScenario();
    QJsonObject dbs = scenario[QStringLiteral("databases")].toObject();
    dbs[QStringLiteral("Kaputt")] = database(QStringLiteral("Kaputt"), QStringLiteral("FULL"));
    scenario[QStringLiteral("databases")] = dbs;
    scenario[QStringLiteral("default_log_path")] = QStringLiteral("/var/opt/mssql/log/");
    scenario[QStringLiteral("disk_folders")] =
        QJsonObject{{serverData, dir.filePath(QStringLiteral("data"))}};
    scenario[QStringLiteral("checkdb_corrupt")] = QJsonArray{QStringLiteral("Defekt")};
    // Only the row that asks for STATS = 7 meets this rule.
    scenario[QStringLiteral("fail")] = QJsonArray{
        QJsonObject{{QStringLiteral("match"), QStringLiteral("RECOVERY, STATS = 7")},
                    {QStringLiteral("number"), 3201},
                    {QStringLiteral("message"), QStringLiteral("Cannot open backup device.")}}};
    TdsTestServer srv;
    QVERIFY2(srv.start(scenario), qPrintable(srv.errorText()));
    const QString bak = dir.filePath(QStringLiteral("Lager.BAK"));
    const QString trn = dir.filePath(QStringLiteral("Lager.TRN"));

    const TsqlResult backup =
        runTsql(srv.port(), QStringLiteral("BACKUP DATABASE [Lager] TO DISK=N'%1'\ngo\n"
                                           "BACKUP LOG [Lager] TO DISK=N'%2'\ngo\n"
                                           "BACKUP LOG [Lager] TO DISK=N'%2'\ngo")
                                .arg(bak, trn));
    QVERIFY2(backup.exitCode == 0 && !backup.output.contains(QStringLiteral("severity 16")),
             qPrintable(backup.output));
    if (damagedByte >= 0) {
        QFile file(bak);
        QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(damagedByte));
        char byte = 0;
        QVERIFY(file.getChar(&byte) && file.seek(damagedByte));
        QVERIFY(file.putChar(char(byte ^ 0x01)));
    }

    auto fill = [&](QString text) {
        return text.replace(QStringLiteral("{bak}"), bak)
            .replace(QStringLiteral("{trn}"), trn)
            .replace(QStringLiteral("{data}"), serverData);
    };
    const TsqlResult r = runTsql(srv.port(), fill(sql) + QStringLiteral("\ngo"));
    for (const QString& text : expected)
        QVERIFY2(
            r.output.contains(fill(text)),
            qPrintable(QStringLiteral("missing: ") + fill(text) + QStringLiteral("\n") + r.output));
    for (const QString& text : absent)
        QVERIFY2(!r.output.contains(fill(text)),
                 qPrintable(QStringLiteral("unexpected: ") + fill(text) + QStringLiteral("\n") +
                            r.output));
    // Restored files stand in the mapped folder while their database exists.
    QCOMPARE(QDir(dir.filePath(QStringLiteral("data"))).entryList(QDir::Files, QDir::Name), files);
}

void TestTdsServer::restoreListsReadByTheProgramsClient() {
    // The lists a restore reads, through the program's own client: numeric,
    // bigint and datetime columns as SQL Server sends them. SERVERPROPERTY is
    // a sql_variant, which the client reads only cast to text. LSNs are
    // numeric(25,0), more digits than a double holds, so their chain is
    // checked in tsql's output.
    QVERIFY(m_conf.install());
    TdsTestServer srv;
    QVERIFY2(srv.start(TdsTestServer::defaultScenario()), qPrintable(srv.errorText()));
    QTemporaryDir dir;
    const QString bak = dir.filePath(QStringLiteral("Lager.BAK"));
    const QString trn = dir.filePath(QStringLiteral("Lager.TRN"));
    const TsqlResult backup = runTsql(
        srv.port(), QStringLiteral("BACKUP DATABASE [Lager] TO DISK=N'%1' WITH CHECKSUM\ngo\n"
                                   "BACKUP LOG [Lager] TO DISK=N'%2'\ngo\n"
                                   "BACKUP LOG [Lager] TO DISK=N'%2'\ngo")
                        .arg(bak, trn));
    QVERIFY2(!backup.output.contains(QStringLiteral("severity 16")), qPrintable(backup.output));

    const QString master = SqlConnectionString::build(
        QStringLiteral("geheim"), QStringLiteral("sa"), QStringLiteral("master"), srv.dataSource());
    try {
        SqlQuery paths;
        paths.setConnectionString(master);
        paths.setSql(QStringLiteral(
            "SELECT CAST(SERVERPROPERTY('InstanceDefaultDataPath') AS nvarchar(260)) AS DataPath, "
            "CAST(SERVERPROPERTY('InstanceDefaultLogPath') AS nvarchar(260)) AS LogPath"));
        paths.open();
        QCOMPARE(paths.rows().size(), 1);
        QCOMPARE(paths.rows()[0].text(QStringLiteral("DataPath")),
                 QStringLiteral("/var/opt/mssql/data/"));
        QCOMPARE(paths.rows()[0].text(QStringLiteral("LogPath")),
                 QStringLiteral("/var/opt/mssql/data/"));

        SqlQuery files;
        files.setConnectionString(master);
        files.setSql(QStringLiteral("RESTORE FILELISTONLY FROM DISK = N'%1'").arg(bak));
        files.open();
        QCOMPARE(files.rows().size(), 2);
        const SqlRecord& data = files.rows()[0];
        QCOMPARE(data.text(QStringLiteral("LogicalName")), QStringLiteral("Lager"));
        QCOMPARE(data.text(QStringLiteral("PhysicalName")),
                 QStringLiteral("/var/opt/mssql/data/Lager.mdf"));
        QCOMPARE(data.text(QStringLiteral("Type")), QStringLiteral("D"));
        QCOMPARE(data.text(QStringLiteral("FileGroupName")), QStringLiteral("PRIMARY"));
        QCOMPARE(data.number(QStringLiteral("Size")), 1024.0 * 8192);
        QCOMPARE(data.integer(QStringLiteral("FileId")), 1);
        const SqlRecord& log = files.rows()[1];
        QCOMPARE(log.text(QStringLiteral("LogicalName")), QStringLiteral("Lager_log"));
        QCOMPARE(log.text(QStringLiteral("Type")), QStringLiteral("L"));
        QVERIFY(!log.value(QStringLiteral("FileGroupName")).isValid());
        QCOMPARE(log.integer(QStringLiteral("FileId")), 2);

        SqlQuery headers;
        headers.setConnectionString(master);
        headers.setSql(QStringLiteral("RESTORE HEADERONLY FROM DISK = N'%1'").arg(trn));
        headers.open();
        QCOMPARE(headers.rows().size(), 2);
        const SqlRecord& first = headers.rows()[0];
        const SqlRecord& second = headers.rows()[1];
        QCOMPARE(first.integer(QStringLiteral("BackupType")), 2);
        QCOMPARE(first.integer(QStringLiteral("Position")), 1);
        QCOMPARE(second.integer(QStringLiteral("Position")), 2);
        QCOMPARE(first.text(QStringLiteral("DatabaseName")), QStringLiteral("Lager"));
        QCOMPARE(first.integer(QStringLiteral("HasBackupChecksums")), 0);
        QVERIFY(first.number(QStringLiteral("LastLSN")) > first.number(QStringLiteral("FirstLSN")));
        QVERIFY(!first.text(QStringLiteral("BackupStartDate")).isEmpty());
        QVERIFY(!first.text(QStringLiteral("BackupFinishDate")).isEmpty());

        SqlQuery full;
        full.setConnectionString(master);
        full.setSql(QStringLiteral("RESTORE HEADERONLY FROM DISK = N'%1'").arg(bak));
        full.open();
        QCOMPARE(full.rows().size(), 1);
        QCOMPARE(full.rows()[0].integer(QStringLiteral("BackupType")), 1);
        QCOMPARE(full.rows()[0].integer(QStringLiteral("HasBackupChecksums")), 1);
        QCOMPARE(full.rows()[0].text(QStringLiteral("RecoveryModel")), QStringLiteral("FULL"));
    } catch (const ProgramError& e) {
        QFAIL(qPrintable(e.message()));
    }

    // The second log set starts where the first one ends, to the last digit.
    const TsqlResult lsns =
        runTsql(srv.port(), QStringLiteral("RESTORE HEADERONLY FROM DISK = N'%1'\ngo").arg(trn));
    const QStringList lines = lsns.output.split(QLatin1Char('\n'));
    const qsizetype head =
        lines.indexOf(QRegularExpression(QStringLiteral("^([0-9]+> )*BackupName\t.*")));
    QVERIFY2(head >= 0 && head + 2 < lines.size(), qPrintable(lsns.output));
    const QStringList names = lines[head].split(QLatin1Char('\t'));
    const QStringList set1 = lines[head + 1].split(QLatin1Char('\t'));
    const QStringList set2 = lines[head + 2].split(QLatin1Char('\t'));
    QCOMPARE(set1.size(), names.size());
    QCOMPARE(set2.size(), names.size());
    const auto column = [&names](const QString& name) {
        return names.indexOf(
            QRegularExpression(QStringLiteral("^([0-9]+> )*") + name + QLatin1Char('$')));
    };
    const QString firstEnd = set1[column(QStringLiteral("LastLSN"))];
    QVERIFY2(QRegularExpression(QStringLiteral("^[1-9][0-9]{16}$")).match(firstEnd).hasMatch(),
             qPrintable(firstEnd));
    QCOMPARE(set2[column(QStringLiteral("FirstLSN"))], firstEnd);
    QVERIFY(set2[column(QStringLiteral("LastLSN"))] > firstEnd);
}

void TestTdsServer::splitPacketsAndSmallPacketSize() {
    QJsonObject scenario = TdsTestServer::defaultScenario();
    TdsTestServer srv;
    QVERIFY2(srv.start(scenario), qPrintable(srv.errorText()));

    // Every request cut into 16-byte packets; replies limited to 512-byte packets.
    RawTdsClient client;
    const auto login = client.login(srv.port(), QStringLiteral("geheim"), 512, 16);
    QVERIFY(login.has_value());
    QVERIFY(!login->hasMessage(18456));
    QVERIFY(login->hasMessage(5701));

    const QString longSql =
        QStringLiteral("DBCC CHECKDB ([Lager])") + QString(3000, QLatin1Char(' '));
    const auto reply = client.query(longSql, 16);
    QVERIFY(reply.has_value());
    QVERIFY(reply->hasMessage(8989));
    QCOMPARE(srv.batches(), QStringList{longSql});

    QVERIFY(
        client.send(0x01, RawTdsClient::batch(QStringLiteral("select * from sys.database_files"))));
    const auto rows = client.readMessage();
    QVERIFY(rows.has_value());
    QVERIFY(rows->size() > 512);
    QVERIFY(client.largestPacket <= 512);
    QCOMPARE(quint8(rows->at(rows->size() - 13)), quint8(0xFD)); // ends in DONE
}

void TestTdsServer::cancelledBackupLeavesNoPartialSet_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("attention") << "attention";
    QTest::newRow("client disconnects") << "disconnect";
    QTest::newRow("server stops") << "stop";
}

void TestTdsServer::cancelledBackupLeavesNoPartialSet() {
    QFETCH(QString, how);
    QJsonObject scenario = TdsTestServer::defaultScenario();
    QJsonObject lager =
        database(QStringLiteral("Lager"), QStringLiteral("FULL"), 1 << 20, 32 << 20);
    lager[QStringLiteral("backup_bytes_per_second")] = 8 << 20;
    scenario[QStringLiteral("databases")] = QJsonObject{{QStringLiteral("Lager"), lager}};
    TdsTestServer srv;
    QVERIFY2(srv.start(scenario), qPrintable(srv.errorText()));
    QTemporaryDir dir;
    const QString bak = dir.filePath(QStringLiteral("Lager.BAK"));
    const QString trn = dir.filePath(QStringLiteral("Lager.TRN"));
    const QByteArray firstSet =
        kMagic + "{\"database\": \"Lager\", \"kind\": \"log\", \"bytes\": 4}\nabcd";
    QFile file(trn);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(firstSet) == firstSet.size());
    file.close();

    RawTdsClient client;
    QVERIFY(client.login(srv.port()).has_value());
    QVERIFY(client.send(0x01,
                        RawTdsClient::batch(QStringLiteral("BACKUP DATABASE [Lager] TO DISK='%1'\n"
                                                           "BACKUP LOG [Lager] TO DISK='%2'")
                                                .arg(bak, trn))));
    // Wait until the second statement is appending to the log backup file.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(trn).size() > firstSet.size() + (1 << 20), 20000);
    if (how == QLatin1String("disconnect")) {
        client.close();
    } else if (how == QLatin1String("stop")) {
        srv.stop();
    } else {
        QVERIFY(client.sendAttention());
        const auto ack = client.readMessage();
        QVERIFY(ack.has_value());
        const Reply reply = RawTdsClient::parse(*ack);
        QCOMPARE(reply.doneStatus, QList<quint16>{0x20});
        QVERIFY(reply.messages.isEmpty());
        // The session goes on after a cancel.
        const auto next = client.query(QStringLiteral("DBCC CHECKDB ([Lager])"));
        QVERIFY(next.has_value() && next->hasMessage(8989));
    }
    QTRY_COMPARE_WITH_TIMEOUT(sizeOfFile(trn), QString::number(firstSet.size()), 5000);
    const auto sets = readSets(trn);
    QVERIFY(sets.has_value());
    QCOMPARE(sets->size(), 1);
    // The full backup before it was finished and stays whole.
    const auto full = readSets(bak);
    QVERIFY(full.has_value() && full->size() == 1);
}

void TestTdsServer::delayDoesNotBlockOtherConnections() {
    QJsonObject scenario = TdsTestServer::defaultScenario();
    scenario[QStringLiteral("delay")] =
        QJsonArray{QJsonObject{{QStringLiteral("match"), QStringLiteral("BACKUP DATABASE")},
                               {QStringLiteral("seconds"), 60}}};
    TdsTestServer srv;
    QVERIFY2(srv.start(scenario), qPrintable(srv.errorText()));
    QTemporaryDir dir;

    RawTdsClient slow;
    QVERIFY(slow.login(srv.port()).has_value());
    QVERIFY(
        slow.send(0x01, RawTdsClient::batch(QStringLiteral("BACKUP DATABASE [Lager] TO DISK='%1'")
                                                .arg(dir.filePath(QStringLiteral("Lager.BAK"))))));
    QTRY_COMPARE(srv.batches().size(), 1);

    QElapsedTimer timer;
    timer.start();
    RawTdsClient quick;
    QVERIFY(quick.login(srv.port()).has_value());
    const auto reply = quick.query(QStringLiteral("DBCC CHECKDB ([Lager])"));
    QVERIFY(reply.has_value() && reply->hasMessage(8989));
    QVERIFY(timer.elapsed() < 10000);

    // Cancelling the delayed statement ends it at once and writes nothing.
    QVERIFY(slow.sendAttention());
    const auto ack = slow.readMessage(5000);
    QVERIFY(ack.has_value());
    QCOMPARE(RawTdsClient::parse(*ack).doneStatus, QList<quint16>{0x20});
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("Lager.BAK"))));
}

void TestTdsServer::injectedConnectionLoss_data() {
    QTest::addColumn<QJsonObject>("rule");
    QTest::addColumn<int>("errorNumber");
    QTest::newRow("fatal error") << QJsonObject{{QStringLiteral("number"), 9001},
                                                {QStringLiteral("severity"), 21},
                                                {QStringLiteral("message"),
                                                 QStringLiteral("The log is not available.")}}
                                 << 9001;
    QTest::newRow("dropped connection") << QJsonObject{{QStringLiteral("disconnect"), true}} << 0;
}

void TestTdsServer::injectedConnectionLoss() {
    QFETCH(QJsonObject, rule);
    QFETCH(int, errorNumber);
    rule[QStringLiteral("match")] = QStringLiteral("SHRINKFILE");
    QJsonObject scenario = TdsTestServer::defaultScenario();
    scenario[QStringLiteral("fail")] = QJsonArray{rule};
    TdsTestServer srv;
    QVERIFY2(srv.start(scenario), qPrintable(srv.errorText()));

    RawTdsClient client;
    QVERIFY(client.login(srv.port()).has_value());
    QVERIFY(client.send(0x01, RawTdsClient::batch(QStringLiteral("DBCC SHRINKFILE (2)"))));
    if (errorNumber) {
        const auto answer = client.readMessage();
        QVERIFY(answer.has_value());
        const Reply reply = RawTdsClient::parse(*answer);
        QCOMPARE(reply.messages.size(), 1);
        QCOMPARE(reply.messages[0].number, errorNumber);
        QVERIFY(reply.messages[0].error);
        QVERIFY(reply.doneStatus.value(0) & 0x02);
    }
    QVERIFY(client.closedByPeer());

    // Other sessions are not affected.
    RawTdsClient other;
    QVERIFY(other.login(srv.port()).has_value());
    QVERIFY(other.query(QStringLiteral("DBCC CHECKDB ([Lager])"))->hasMessage(8989));
}

void TestTdsServer::encryptionDemandIsRefused() {
    TdsTestServer srv;
    QVERIFY2(srv.start(TdsTestServer::defaultScenario()), qPrintable(srv.errorText()));

    RawTdsClient client;
    QVERIFY(client.connectTo(srv.port()));
    QVERIFY(client.send(0x12, RawTdsClient::prelogin(1 /* ENCRYPT_ON */)));
    const auto answer = client.readMessage();
    QVERIFY(answer.has_value());
    // Option table: VERSION, then ENCRYPTION; its value must say "not supported".
    QCOMPARE(quint8(answer->at(5)), quint8(1));
    QCOMPARE(quint8(answer->at(qFromBigEndian<quint16>(answer->constData() + 6))), quint8(2));
    QVERIFY(client.closedByPeer());
    QVERIFY2(srv.serverLog().contains(QStringLiteral("requires encryption")),
             qPrintable(srv.serverLog()));

    // FreeTDS told to require encryption gives up instead of logging in in clear.
    const TsqlResult r = runTsql(srv.port(), QStringLiteral("select 1\ngo"),
                                 QStringLiteral("\tencryption = require"));
    QVERIFY2(r.exitCode != 0, qPrintable(r.output));
    QVERIFY(srv.batches().isEmpty());
}

QTEST_GUILESS_MAIN(TestTdsServer)
#include "tst_tdsserver.moc"
