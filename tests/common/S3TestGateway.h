#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

// The RADOS Gateway the S3 suites share (tests/servers/ceph_gateway.py, started before them by
// the CTest fixture s3gateway into <build>/s3gateway and stopped after them), read from its
// gateway.json; Debian's awscli is the independent reader and writer of its objects.
class S3TestGateway {
public:
    // False with errorText() set when the gateway is not running.
    bool load() {
        const QString folder =
            qEnvironmentVariable("ORVEL_BUILD_DIR") + QStringLiteral("/s3gateway");
        QFile file(folder + QStringLiteral("/gateway.json"));
        if (!file.open(QIODevice::ReadOnly)) {
            m_error = QStringLiteral("the S3 gateway is not running (no %1); run the suite "
                                     "through ctest, whose fixture s3gateway starts it")
                          .arg(file.fileName());
            return false;
        }
        const QJsonObject info = QJsonDocument::fromJson(file.readAll()).object();
        m_port = info.value(QStringLiteral("port")).toInt();
        m_accessKey = info.value(QStringLiteral("access_key")).toString();
        m_secretKey = info.value(QStringLiteral("secret_key")).toString();
        m_ca = info.value(QStringLiteral("ca")).toString();
        return m_port > 0;
    }
    QString errorText() const { return m_error; }
    int port() const { return m_port; }
    QString accessKey() const { return m_accessKey; }
    QString secretKey() const { return m_secretKey; }
    QString caFile() const { return m_ca; }

    // /usr/bin/aws s3api <arguments> against the gateway; its exit code, its output in out.
    int s3api(const QStringList& arguments, QByteArray* out = nullptr) const {
        QProcess aws;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("AWS_ACCESS_KEY_ID"), m_accessKey);
        env.insert(QStringLiteral("AWS_SECRET_ACCESS_KEY"), m_secretKey);
        env.insert(QStringLiteral("AWS_DEFAULT_REGION"), QStringLiteral("us-east-1"));
        env.insert(QStringLiteral("AWS_CONFIG_FILE"), QStringLiteral("/dev/null"));
        env.insert(QStringLiteral("AWS_SHARED_CREDENTIALS_FILE"), QStringLiteral("/dev/null"));
        env.insert(QStringLiteral("AWS_EC2_METADATA_DISABLED"), QStringLiteral("true"));
        aws.setProcessEnvironment(env);
        aws.setProcessChannelMode(QProcess::MergedChannels);
        aws.start(QStringLiteral("/usr/bin/aws"),
                  QStringList{QStringLiteral("--endpoint-url"),
                              QStringLiteral("https://127.0.0.1:%1").arg(m_port),
                              QStringLiteral("--ca-bundle"), m_ca, QStringLiteral("s3api")} +
                      arguments);
        if (!aws.waitForFinished(120000))
            return -1;
        if (out)
            *out = aws.readAll();
        return aws.exitStatus() == QProcess::NormalExit ? aws.exitCode() : -1;
    }

    // A bucket of this suite's own, made once per process and shared by every gateway object.
    QString bucket() {
        static QString shared;
        if (shared.isEmpty()) {
            const QString name = QStringLiteral("orvel-%1-%2")
                                     .arg(QCoreApplication::applicationPid())
                                     .arg(QDateTime::currentMSecsSinceEpoch() % 100000000);
            if (s3api({QStringLiteral("create-bucket"), QStringLiteral("--bucket"), name}) == 0)
                shared = name;
        }
        m_bucket = shared;
        return m_bucket;
    }

    // The bucket made by bucket(); empty before.
    QString bucketName() const { return m_bucket; }

    bool put(const QString& bucket, const QString& key, const QByteArray& data) const {
        QTemporaryDir dir;
        QFile f(dir.filePath(QStringLiteral("body")));
        if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
            return false;
        f.close();
        return s3api({QStringLiteral("put-object"), QStringLiteral("--bucket"), bucket,
                      QStringLiteral("--key"), key, QStringLiteral("--body"), f.fileName()}) == 0;
    }
    // The object's bytes; "<missing>" when awscli cannot fetch it.
    QByteArray get(const QString& bucket, const QString& key) const {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("body"));
        if (s3api({QStringLiteral("get-object"), QStringLiteral("--bucket"), bucket,
                   QStringLiteral("--key"), key, path}) != 0)
            return "<missing>";
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    // head-object's answer (JSON); empty when the object is not there.
    QJsonObject head(const QString& bucket, const QString& key) const {
        QByteArray out;
        if (s3api({QStringLiteral("head-object"), QStringLiteral("--bucket"), bucket,
                   QStringLiteral("--key"), key},
                  &out) != 0)
            return {};
        return QJsonDocument::fromJson(out).object();
    }
    // The multipart uploads under way in the bucket (list-multipart-uploads' "Uploads").
    int openUploads(const QString& bucket) const {
        QByteArray out;
        if (s3api({QStringLiteral("list-multipart-uploads"), QStringLiteral("--bucket"), bucket},
                  &out) != 0)
            return -1;
        return int(QJsonDocument::fromJson(out)
                       .object()
                       .value(QStringLiteral("Uploads"))
                       .toArray()
                       .size());
    }

private:
    QString m_error;
    int m_port = 0;
    QString m_accessKey;
    QString m_secretKey;
    QString m_ca;
    QString m_bucket;
};
