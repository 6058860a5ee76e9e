// The SFTP library's reading and writing of OpenSSH's known_hosts file: which stored entries
// name a host and port, what a stored key of another type means, what survives when a key is
// stored, and files that must not be read or written through. Hashed entries are made by
// OpenSSH's ssh-keygen, and the written file is read back by it.

#include "TempFolder.h"
#include "tgputtylib/KnownHostsFile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using tgputty::KnownHostsFile;

namespace {

// A public key blob as a server sends it: its type, then key bytes made from `seed`.
std::string blob(const std::string& type, char seed) {
    std::string b;
    const auto put = [&b](const std::string& s) {
        const uint32_t n = static_cast<uint32_t>(s.size());
        b += static_cast<char>(n >> 24);
        b += static_cast<char>(n >> 16);
        b += static_cast<char>(n >> 8);
        b += static_cast<char>(n);
        b += s;
    };
    put(type);
    put(std::string(32, seed));
    return b;
}

// The known_hosts line of a key for the host field given.
QByteArray line(const QByteArray& hosts, const std::string& key) {
    const QByteArray raw(key.data(), static_cast<qsizetype>(key.size()));
    return hosts + ' ' + QByteArray::fromStdString(KnownHostsFile::blobType(key)) + ' ' +
           raw.toBase64() + '\n';
}

const std::string Ed = blob("ssh-ed25519", 'a');
const std::string OtherEd = blob("ssh-ed25519", 'b');
const std::string Rsa = blob("ssh-rsa", 'c');

bool write(const QString& path, const QByteArray& content) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

QByteArray read(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The file hashed by OpenSSH's ssh-keygen -H.
bool hashWithOpenSsh(const QString& path) {
    QProcess p;
    p.start(QStringLiteral("ssh-keygen"), {QStringLiteral("-H"), QStringLiteral("-f"), path});
    const bool ok = p.waitForFinished(20000) && p.exitCode() == 0;
    QFile::remove(path + QStringLiteral(".old"));
    return ok;
}

} // namespace

class TestKnownHosts : public QObject {
    Q_OBJECT

private slots:
    void check_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("hashed");
        QTest::addColumn<int>("port");
        QTest::addColumn<QByteArray>("offered");
        QTest::addColumn<int>("match");
        QTest::addColumn<QString>("host");
        const QByteArray ed = QByteArray::fromStdString(Ed);
        const QByteArray rsa = QByteArray::fromStdString(Rsa);
        const int known = int(KnownHostsFile::Match::Known);
        const int changed = int(KnownHostsFile::Match::Changed);
        const int fresh = int(KnownHostsFile::Match::New);
        const int revoked = int(KnownHostsFile::Match::Revoked);
        const QString host = QStringLiteral("sftp.example");
        const QByteArray onPort = line("[sftp.example]:2222", Ed);
        const QByteArray bare = line("sftp.example", Ed);
        QTest::newRow("[host]:port on that port") << onPort << false << 2222 << ed << known << host;
        QTest::newRow("[host]:port on port 22") << onPort << false << 22 << ed << fresh << host;
        QTest::newRow("bare host on port 22") << bare << false << 22 << ed << known << host;
        QTest::newRow("bare host on another port") << bare << false << 2222 << ed << fresh << host;
        QTest::newRow("stored ed25519, offered rsa")
            << onPort << false << 2222 << rsa << changed << host;
        QTest::newRow("stored key differs")
            << line("[sftp.example]:2222", OtherEd) << false << 2222 << ed << changed << host;
        QTest::newRow("garbage line before the entry")
            << "[sftp.example]:2222 ssh-ed25519 !!not base64!!\n\x01\x02 junk\n" + onPort << false
            << 2222 << ed << known << host;
        QTest::newRow("name list, other case, wildcard")
            << line("other.example,SFTP.Example", Ed) + line("*.example", OtherEd) << false << 22
            << ed << known << host;
        QTest::newRow("negated pattern excludes")
            << line("*.example,!sftp.example", Ed) << false << 22 << ed << fresh << host;
        QTest::newRow("hashed entry") << onPort << true << 2222 << ed << known << host;
        QTest::newRow("hashed entry, offered rsa")
            << onPort << true << 2222 << rsa << changed << host;
        QTest::newRow("hashed entry of another port")
            << onPort << true << 2223 << ed << fresh << host;
        // OpenSSH hashes the name in lower case; plain names compare without case.
        const QString upper = QStringLiteral("SFTP.Example");
        QTest::newRow("hashed entry, name in other case")
            << onPort << true << 2222 << ed << known << upper;
        QTest::newRow("hashed bare entry, name in other case")
            << bare << true << 22 << ed << known << upper;
        QTest::newRow("bare entry, name in other case")
            << bare << false << 22 << ed << known << upper;
        // A key marked as revoked for the host is refused, whatever else is stored; a revoked
        // key alone is no stored key, and one revoked for other hosts does not count.
        const QByteArray revokedEd = "@revoked " + line("sftp.example", Ed);
        QTest::newRow("revoked key, also stored")
            << revokedEd + bare << false << 22 << ed << revoked << host;
        QTest::newRow("revoked by wildcard, other key stored")
            << "@revoked " + line("*.example", Ed) + line("sftp.example", OtherEd) << false << 22
            << ed << revoked << host;
        QTest::newRow("revoked entry, name in other case")
            << "@revoked " + line("[SFTP.Example]:2222", Ed) << false << 2222 << ed << revoked
            << host;
        QTest::newRow("only another key revoked")
            << "@revoked " + line("sftp.example", OtherEd) + bare << false << 22 << ed << known
            << host;
        QTest::newRow("revoked key alone, other key offered")
            << revokedEd << false << 22 << QByteArray::fromStdString(OtherEd) << fresh << host;
        QTest::newRow("revoked for another host only")
            << "@revoked " + line("other.example", Ed) << false << 22 << ed << fresh << host;
    }

    void check() {
        QFETCH(QByteArray, content);
        QFETCH(bool, hashed);
        QFETCH(int, port);
        QFETCH(QByteArray, offered);
        QFETCH(int, match);
        QFETCH(QString, host);
        TempFolder folder;
        const QString path = folder.file(QStringLiteral("known_hosts"));
        QVERIFY(write(path, content));
        if (hashed) {
            QVERIFY(hashWithOpenSsh(path));
            QVERIFY(read(path).startsWith("|1|"));
        }
        KnownHostsFile file(path.toStdString());
        std::string error;
        QVERIFY2(file.load(error), error.c_str());
        QCOMPARE(int(file.check(host.toStdString(), port, offered.toStdString())), match);
    }

    // Storing a key replaces the host's entry of that type only; every other line stays as it
    // was, byte for byte, and OpenSSH finds the new entry.
    void storeKeepsEverythingElse() {
        TempFolder folder;
        const QString path = folder.file(QStringLiteral("known_hosts"));
        QVERIFY(write(path, line("hashed.example", Ed)));
        QVERIFY(hashWithOpenSsh(path));
        const QByteArray hashedLine = read(path);
        const QByteArray comment = "# seeded by hand\r\n";
        const QByteArray otherHost = line("[other.example]:2222", OtherEd);
        const QByteArray sameHostRsa = line("[sftp.example]:2222", Rsa);
        const QByteArray garbage = "not a key line at all\n";
        const QByteArray revokedLine = "@revoked " + line("[sftp.example]:2222", OtherEd);
        const QByteArray bareHost = line("sftp.example", OtherEd);
        const QByteArray before = comment + hashedLine + line("[sftp.example]:2222", OtherEd) +
                                  otherHost + sameHostRsa + garbage + revokedLine +
                                  bareHost.chopped(1);
        QVERIFY(write(path, before));
        ::chmod(QFile::encodeName(path).constData(), 0640);

        KnownHostsFile file(path.toStdString());
        std::string error;
        QVERIFY2(file.load(error), error.c_str());
        QVERIFY2(file.store("sftp.example", 2222, Ed, error), error.c_str());
        QCOMPARE(read(path), comment + hashedLine + otherHost + sameHostRsa + garbage +
                                 revokedLine + bareHost + line("[sftp.example]:2222", Ed));
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0640);
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files).size(), 1); // no temporary left

        QProcess find;
        find.start(QStringLiteral("ssh-keygen"),
                   {QStringLiteral("-F"), QStringLiteral("[sftp.example]:2222"),
                    QStringLiteral("-f"), path});
        QVERIFY(find.waitForFinished(20000));
        const QByteArray found = find.readAllStandardOutput();
        QVERIFY2(found.contains(line("[sftp.example]:2222", Ed).trimmed()), found.constData());
        QVERIFY2(found.contains(sameHostRsa.trimmed()), found.constData());
    }

    // A link or a pipe planted in the file's place is neither read nor written through, and a
    // folder that cannot take the file gives an error that names it.
    void refusedFiles_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("loads");
        QTest::addColumn<QString>("why");
        QTest::newRow("symbolic link") << "link" << false << "it is a symbolic link";
        QTest::newRow("pipe") << "pipe" << false << "not a plain file";
        QTest::newRow("missing folder") << "nofolder" << true << "No such file or directory";
    }

    void refusedFiles() {
        QFETCH(QString, kind);
        QFETCH(bool, loads);
        QFETCH(QString, why);
        TempFolder folder;
        QString path = folder.file(QStringLiteral("known_hosts"));
        const QString target = folder.file(QStringLiteral("elsewhere"));
        const QByteArray targetContent = line("[sftp.example]:2222", OtherEd);
        QVERIFY(write(target, targetContent));
        if (kind == QLatin1String("link"))
            QVERIFY(QFile::link(target, path));
        else if (kind == QLatin1String("pipe"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else
            path = folder.file(QStringLiteral("gone/known_hosts"));
        KnownHostsFile file(path.toStdString());
        std::string error;
        QCOMPARE(file.load(error), loads);
        if (!loads)
            QCOMPARE(QString::fromStdString(error),
                     QStringLiteral("Cannot read %1: %2").arg(path, why));
        error.clear();
        QVERIFY(!file.store("sftp.example", 2222, Ed, error));
        QCOMPARE(QString::fromStdString(error),
                 QStringLiteral("Cannot store the host key in %1: %2").arg(path, why));
        QCOMPARE(read(target), targetContent);
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::System).size(),
                 kind == QLatin1String("nofolder") ? 1 : 2);
    }
};

QTEST_GUILESS_MAIN(TestKnownHosts)
#include "tst_knownhosts.moc"
