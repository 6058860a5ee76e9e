#include "core/RunStateFile.h"

#include "online/FileReplacement.h"
#include "online/StagedFile.h"
#include "platform/ProgramError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

const QString RunStateFile::fileName = QStringLiteral("last_run.json");

RunStateFile::RunStateFile(QString path) : m_path(std::move(path)) {}

RunStateFile RunStateFile::inProgramFolder(const QString& programFolder) {
    return RunStateFile(QDir(programFolder).filePath(fileName));
}

void RunStateFile::write(const RunState& state) const {
    QJsonArray jobs;
    for (const JobOutcome& job : state.jobs)
        jobs.append(QJsonObject{{QStringLiteral("job"), job.dbName},
                                {QStringLiteral("archiveBytes"), job.archiveBytes},
                                {QStringLiteral("uploadAsked"), job.uploadAsked},
                                {QStringLiteral("uploaded"), job.uploaded}});
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
        state.jobs.append(outcome);
    }
    return state;
}
