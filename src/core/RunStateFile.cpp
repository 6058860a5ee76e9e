#include "core/RunStateFile.h"

#include "online/FileReplacement.h"
#include "online/StagedFile.h"
#include "platform/ProgramError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

const QString RunStateFile::fileName = QStringLiteral("last_run.json");

RunStateFile::RunStateFile(QString path) : m_path(std::move(path)) {}

RunStateFile RunStateFile::inProgramFolder(const QString& programFolder) {
    return RunStateFile(QDir(programFolder).filePath(fileName));
}

void RunStateFile::write(const RunState& state) const {
    // A job without a restore test tonight keeps its last one.
    QHash<QString, JobOutcome> earlier;
    try {
        if (const std::optional<RunState> last = read())
            for (const JobOutcome& job : last->jobs)
                if (job.restoreTested)
                    earlier.insert(job.dbName, job);
    } catch (const std::exception&) {
        // A damaged state file is replaced; its tests are lost with it.
    }
    QJsonArray jobs;
    for (const JobOutcome& job : state.jobs) {
        QJsonObject entry{{QStringLiteral("job"), job.dbName},
                          {QStringLiteral("archiveBytes"), job.archiveBytes},
                          {QStringLiteral("uploadAsked"), job.uploadAsked},
                          {QStringLiteral("uploaded"), job.uploaded}};
        const JobOutcome& tested = job.restoreTested ? job : earlier.value(job.dbName);
        if (tested.restoreTested) {
            entry.insert(QStringLiteral("restoreTestOk"), tested.restoreOk);
            entry.insert(QStringLiteral("restoreTestEnd"),
                         tested.restoreTestEnd.toUTC().toString(Qt::ISODate));
        }
        jobs.append(entry);
    }
    const QJsonObject root{{QStringLiteral("end"), state.end.toUTC().toString(Qt::ISODate)},
                           {QStringLiteral("durationSeconds"), state.durationSeconds},
                           {QStringLiteral("errors"), state.errors},
                           {QStringLiteral("exitCode"), state.exitCode},
                           {QStringLiteral("jobs"), jobs}};
    const QByteArray bytes = QJsonDocument(root).toJson();
    StagedFile file(m_path);
    const auto failed = [this](const QString& reason) {
        return ProgramError(QStringLiteral("Statusdatei kann nicht geschrieben werden: ") + m_path +
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

std::optional<RunState> RunStateFile::read() const {
    const QFileInfo info(m_path);
    if (!info.exists() && !info.isSymLink())
        return std::nullopt;
    const QString refused = StagedFile::refusedTarget(m_path);
    QFile file(m_path);
    if (!refused.isEmpty() || !file.open(QIODevice::ReadOnly))
        throw ProgramError(QStringLiteral("Statusdatei kann nicht gelesen werden: ") + m_path +
                           QStringLiteral(" (") +
                           (refused.isEmpty() ? file.errorString() : refused) + QLatin1Char(')'));
    QJsonParseError error{};
    const QJsonObject root = QJsonDocument::fromJson(file.readAll(), &error).object();
    const QDateTime end =
        QDateTime::fromString(root.value(QStringLiteral("end")).toString(), Qt::ISODate);
    if (error.error != QJsonParseError::NoError || !end.isValid())
        throw ProgramError(QStringLiteral("Statusdatei ist beschädigt: ") + m_path);
    RunState state;
    state.end = end;
    state.durationSeconds = root.value(QStringLiteral("durationSeconds")).toDouble();
    state.errors = root.value(QStringLiteral("errors")).toInt();
    state.exitCode = root.value(QStringLiteral("exitCode")).toInt();
    for (const QJsonValue& value : root.value(QStringLiteral("jobs")).toArray()) {
        const QJsonObject job = value.toObject();
        JobOutcome outcome;
        outcome.dbName = job.value(QStringLiteral("job")).toString();
        outcome.archiveBytes = qint64(job.value(QStringLiteral("archiveBytes")).toDouble());
        outcome.uploadAsked = job.value(QStringLiteral("uploadAsked")).toBool();
        outcome.uploaded = job.value(QStringLiteral("uploaded")).toBool();
        if (job.contains(QStringLiteral("restoreTestOk"))) {
            outcome.restoreTested = true;
            outcome.restoreOk = job.value(QStringLiteral("restoreTestOk")).toBool();
            outcome.restoreTestEnd = QDateTime::fromString(
                job.value(QStringLiteral("restoreTestEnd")).toString(), Qt::ISODate);
        }
        state.jobs.append(outcome);
    }
    return state;
}
