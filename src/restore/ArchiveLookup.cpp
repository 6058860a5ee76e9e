#include "restore/ArchiveLookup.h"

#include "platform/ProgramError.h"

#include <QFileInfo>
#include <QRegularExpression>

QString ArchiveLookup::archiveName(const QString& zipName, int weekday) {
    return zipName + QString::number(weekday) + QStringLiteral(".ZIP");
}

RestoreArchive ArchiveLookup::inFolder(const QString& folder, const QString& zipName, int weekday) {
    RestoreArchive found;
    QDateTime newest;
    for (int day = 1; day <= 7; ++day) {
        if (weekday && day != weekday)
            continue;
        const QString name = archiveName(zipName, day);
        const QFileInfo info(folder + name);
        if (info.isSymLink() || !info.isFile())
            continue;
        if (found.path.isEmpty() || info.lastModified() > newest) {
            found.path = info.filePath();
            found.name = name;
            newest = info.lastModified();
        }
    }
    if (found.path.isEmpty())
        throw ProgramError(
            QStringLiteral("Kein Archiv %1 in %2")
                .arg(weekday ? archiveName(zipName, weekday) : zipName + QStringLiteral("1-7.ZIP"),
                     folder));
    return found;
}

namespace {
// A transfer's error text on one line: some servers' and libraries' texts run over several.
QString oneLine(const QString& text) {
    return text.split(QRegularExpression(QStringLiteral("[\r\n]+")), Qt::SkipEmptyParts)
        .join(QLatin1Char(' '))
        .simplified();
}
} // namespace

RestoreArchive ArchiveLookup::atDestination(Destination& destination, const QString& zipName,
                                            int weekday, const QString& scratchFolder,
                                            DestinationEvents& events, const QDate& today) {
    QString best;
    QDateTime newest;
    int bestAge = 8;
    for (int day = 1; day <= 7; ++day) {
        if (weekday && day != weekday)
            continue;
        const QString name = archiveName(zipName, day);
        const StatResult stat = destination.stat(name, events);
        if (!stat.error.isEmpty())
            throw ProgramError(
                QStringLiteral("Das Archiv %1 kann am Ziel nicht abgefragt werden: %2")
                    .arg(name, oneLine(stat.error)));
        if (!stat.file.exists)
            continue;
        // A server that gives no time: the weekday nearest to today, backwards, is the newest.
        const int age = (today.dayOfWeek() - day + 7) % 7;
        const bool newer = stat.file.modified.isValid() && newest.isValid()
                               ? stat.file.modified > newest
                               : age < bestAge;
        if (best.isEmpty() || newer) {
            best = name;
            newest = stat.file.modified;
            bestAge = age;
        }
    }
    if (best.isEmpty())
        throw ProgramError(QStringLiteral("Kein Archiv %1 am Ziel")
                               .arg(weekday ? archiveName(zipName, weekday)
                                            : zipName + QStringLiteral("1-7.ZIP")));
    RestoreArchive fetched;
    fetched.name = best;
    fetched.path = scratchFolder + best + QStringLiteral(".geladen");
    fetched.temporary = true;
    const FetchResult result = destination.fetch(best, fetched.path, events);
    if (!result.fetched)
        throw ProgramError(QStringLiteral("Das Archiv %1 kann nicht vom Ziel geladen werden: %2")
                               .arg(best, oneLine(result.error)));
    return fetched;
}
