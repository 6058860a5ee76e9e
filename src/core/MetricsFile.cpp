#include "core/MetricsFile.h"

#include "online/FileReplacement.h"
#include "online/StagedFile.h"
#include "platform/IniFile.h"
#include "platform/ProgramError.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QFileInfo>

namespace {

struct Gauge {
    const char* name;
    const char* help;
};

constexpr Gauge kEnd{"orvelsqlbackup_last_run_end_timestamp_seconds",
                     "Unix time at which the last backup run ended."};
constexpr Gauge kDuration{"orvelsqlbackup_last_run_duration_seconds",
                          "How long the last backup run took."};
constexpr Gauge kErrors{"orvelsqlbackup_last_run_errors",
                        "Errors the last backup run counted (0 is a clean run)."};
constexpr Gauge kArchiveBytes{"orvelsqlbackup_job_archive_bytes",
                              "Size of the archive the last run made for the job, 0 when it made none."};
constexpr Gauge kUploadOk{"orvelsqlbackup_job_upload_ok",
                          "1 when the last run uploaded the job's archive, 0 when the upload failed or "
                          "was not asked for."};

constexpr Gauge kRestoreOk{"orvelsqlbackup_job_restore_test_ok",
                           "1 when the job's last restore test restored and checked its archive, "
                           "0 when it failed."};
constexpr Gauge kRestoreTime{"orvelsqlbackup_job_restore_test_timestamp_seconds",
                             "Unix time at which the job's last restore test ended."};

QString header(const Gauge& gauge) {
    return QStringLiteral("# HELP %1 %2\n# TYPE %1 gauge\n")
        .arg(QLatin1String(gauge.name), QLatin1String(gauge.help));
}

QString sample(const Gauge& gauge, const QString& value) {
    return QLatin1String(gauge.name) + QLatin1Char(' ') + value + QLatin1Char('\n');
}

QString jobSample(const Gauge& gauge, const QString& job, const QString& value) {
    return QLatin1String(gauge.name) + QStringLiteral("{job=\"") + MetricsFile::labelValue(job) +
           QStringLiteral("\"} ") + value + QLatin1Char('\n');
}

} // namespace

MetricsFile::MetricsFile(QString path) : m_path(std::move(path)) {}

QString MetricsFile::pathFromIni(const QString& iniPath) {
    const QString path = IniFile(iniPath)
                             .value(QStringLiteral("OrvelSQLBackup"), QStringLiteral("MetricsFile"))
                             .value_or(QString());
    if (path.isEmpty() || QFileInfo(path).isAbsolute())
        return path;
    return QFileInfo(iniPath).absoluteDir().absoluteFilePath(path);
}

QString MetricsFile::labelValue(const QString& value) {
    QString escaped;
    escaped.reserve(value.size());
    for (const QChar c : value) {
        if (c == QLatin1Char('\\'))
            escaped += QStringLiteral("\\\\");
        else if (c == QLatin1Char('"'))
            escaped += QStringLiteral("\\\"");
        else if (c == QLatin1Char('\n'))
            escaped += QStringLiteral("\\n");
        else
            escaped += c;
    }
    return escaped;
}

QString MetricsFile::text(const RunMetrics& metrics) {
    // Plain C-locale numbers; the time with milliseconds, as the clock gives them.
    const double end = double(metrics.end.toMSecsSinceEpoch()) / 1000.0;
    QString out;
    out += header(kEnd) + sample(kEnd, QString::number(end, 'f', 3));
    out += header(kDuration) + sample(kDuration, QString::number(metrics.durationSeconds, 'f', 3));
    out += header(kErrors) + sample(kErrors, QString::number(metrics.errors));
    if (!metrics.jobs.isEmpty()) {
        out += header(kArchiveBytes);
        for (const JobOutcome& job : metrics.jobs)
            out += jobSample(kArchiveBytes, job.dbName, QString::number(job.archiveBytes));
        out += header(kUploadOk);
        for (const JobOutcome& job : metrics.jobs)
            out += jobSample(kUploadOk, job.dbName, job.uploaded ? QStringLiteral("1")
                                                                 : QStringLiteral("0"));
        // The last restore test of each job: tonight's, else the one the file held.
        QList<QPair<QString, RunMetrics::RestoreTestSample>> tests;
        for (const JobOutcome& job : metrics.jobs) {
            if (job.restoreTested)
                tests.append(
                    {job.dbName,
                     {job.restoreOk ? QStringLiteral("1") : QStringLiteral("0"),
                      QString::number(double(job.restoreTestEnd.toMSecsSinceEpoch()) / 1000.0, 'f',
                                      3)}});
            else if (metrics.earlierRestoreTests.contains(job.dbName))
                tests.append({job.dbName, metrics.earlierRestoreTests.value(job.dbName)});
        }
        if (!tests.isEmpty()) {
            out += header(kRestoreOk);
            for (const auto& [job, test] : tests)
                out += jobSample(kRestoreOk, job, test.ok);
            out += header(kRestoreTime);
            for (const auto& [job, test] : tests)
                out += jobSample(kRestoreTime, job, test.timestamp);
        }
    }
    return out;
}

QHash<QString, RunMetrics::RestoreTestSample> MetricsFile::restoreTestsIn(const QString& text) {
    QHash<QString, RunMetrics::RestoreTestSample> found;
    // name{job="<label value>"} value
    static const QRegularExpression sampleLine(
        QStringLiteral("^(orvelsqlbackup_job_restore_test_(?:ok|timestamp_seconds))"
                       "\\{job=\"((?:[^\"\\\\]|\\\\.)*)\"\\} (\\S+)$"));
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch m = sampleLine.match(line);
        if (!m.hasMatch())
            continue;
        QString job;
        const QString escaped = m.captured(2);
        for (qsizetype i = 0; i < escaped.size(); ++i) {
            if (escaped[i] == QLatin1Char('\\') && i + 1 < escaped.size()) {
                ++i;
                job += escaped[i] == QLatin1Char('n') ? QLatin1Char('\n') : escaped[i];
            } else {
                job += escaped[i];
            }
        }
        if (m.captured(1) == QLatin1String(kRestoreOk.name))
            found[job].ok = m.captured(3);
        else
            found[job].timestamp = m.captured(3);
    }
    return found;
}

void MetricsFile::write(const RunMetrics& given) const {
    RunMetrics metrics = given;
    if (metrics.earlierRestoreTests.isEmpty()) {
        QFile earlier(m_path);
        if (!QFileInfo(m_path).isSymLink() && earlier.open(QIODevice::ReadOnly))
            metrics.earlierRestoreTests =
                restoreTestsIn(QString::fromUtf8(earlier.read(4 * 1024 * 1024)));
    }
    const QByteArray bytes = text(metrics).toUtf8();
    StagedFile file(m_path);
    const auto failed = [this](const QString& reason) {
        return ProgramError(QStringLiteral("Metrikdatei kann nicht geschrieben werden: ") + m_path +
                            QStringLiteral(" (") + reason + QLatin1Char(')'));
    };
    if (!file.open())
        throw failed(file.errorText());
    if (file.device().write(bytes) != bytes.size())
        throw failed(file.device().errorString());
    if (!file.finish())
        throw failed(file.errorText());
    FileReplacement replacement;
    if (!replacement.replaceAll({&file}))
        throw failed(replacement.errors().join(QStringLiteral("; ")));
}
