#include "settings/EditingRules.h"

#include "settings/Dataset.h"
#include "settings/SettingsColumns.h"

#include <QDir>
#include <QFileInfo>

namespace C = SettingsColumns;

void EditingRules::newJobDefaults(Dataset& jobs) {
    jobs.setValue(C::DBBenutzer, QStringLiteral("sa"));
    jobs.setValue(C::FTP_aktiv, false);
    jobs.setValue(C::FTP_Port, 21);
    jobs.setValue(C::ZIP_erstellen, false);
    jobs.setValue(C::FTP_SSL, 0);
    jobs.setValue(C::FTP_Passiv, 0);
    jobs.setValue(C::FTP_Binary, 0);
}

void EditingRules::beforeJobPost(Dataset& jobs) {
    // A job switched to S3 keeps no FTP port of the new-row default: S3 speaks HTTPS.
    if (jobs.fieldIndex(C::FTP_SSL) >= 0 && jobs.fieldIndex(C::FTP_Port) >= 0 &&
        jobs.field(C::FTP_SSL).asInteger() == S3Protocol &&
        jobs.field(C::FTP_Port).asInteger() == 21)
        jobs.setValue(C::FTP_Port, 443);
    if (jobs.fieldIndex(C::ZIP_erstellen) < 0 || jobs.fieldIndex(C::ZIP_Dateiname) < 0)
        return;
    if (jobs.field(C::ZIP_erstellen).asBoolean() &&
        jobs.field(C::ZIP_Dateiname).asString().isEmpty())
        jobs.setValue(C::ZIP_Dateiname, jobs.field(C::DBName).asString());
}

void EditingRules::beforeGeneralPost(Dataset& general) {
    if (general.fieldIndex(C::VersenderEmail) < 0)
        return; // a file from before the column existed
    Field sender = general.field(C::VersenderEmail);
    if (sender.isNull())
        return;
    QString text = sender.asString();
    // Only A to Z are lowered; blanks and control characters go from both ends.
    for (QChar& c : text)
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            c = QChar(c.unicode() + ('a' - 'A'));
    qsizetype from = 0;
    qsizetype to = text.size();
    while (from < to && text.at(from).unicode() <= 0x20)
        ++from;
    while (to > from && text.at(to - 1).unicode() <= 0x20)
        --to;
    sender.setValue(text.mid(from, to - from));
}

void EditingRules::storePendingGeneral(Dataset& general) {
    if (general.hasPendingChanges())
        general.post();
}

QString EditingRules::copyFolderStart(Dataset& general, const QString& programFolder) {
    const QString stored = general.isOpen() && !general.isEmpty()
                               ? general.field(C::OrdnerZIPDateien).asString()
                               : QString();
    return stored.isEmpty() ? programFolder : stored;
}

void EditingRules::setCopyFolder(Dataset& general, const QString& chosen) {
    if (chosen.isEmpty() || !QFileInfo(chosen).isDir())
        return;
    // As the chooser names it: a full path without a trailing separator, the root excepted.
    QString folder = QDir::cleanPath(chosen);
    general.edit();
    general.setValue(C::OrdnerZIPDateien, folder);
    general.post();
}

void EditingRules::chooseCopyFolder(Dataset& general, const QString& programFolder,
                                    const std::function<QString(const QString&)>& choose) {
    setCopyFolder(general, choose(copyFolderStart(general, programFolder)));
}

void EditingRules::deleteJob(Dataset& jobs, const std::function<bool()>& confirmed) {
    if (jobs.isOpen() && jobs.recNo() >= 0 && confirmed())
        jobs.remove();
}

void EditingRules::storeJob(Dataset& jobs) {
    if (jobs.hasPendingChanges())
        jobs.post();
}

void EditingRules::dropJobChanges(Dataset& jobs) {
    if (jobs.hasPendingChanges())
        jobs.cancel();
}

void EditingRules::install(Dataset& jobs, Dataset& general) {
    jobs.onNewRecord = [](Dataset& ds) { newJobDefaults(ds); };
    jobs.onBeforePost = [](Dataset& ds) { beforeJobPost(ds); };
    general.onBeforePost = [](Dataset& ds) { beforeGeneralPost(ds); };
}
