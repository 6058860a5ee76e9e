#include "settings/SettingsRecords.h"

#include "platform/ProgramError.h"
#include "settings/Dataset.h"
#include "settings/SettingsColumns.h"

namespace C = SettingsColumns;

BackupJob SettingsRecords::readJob(Dataset& jobs) {
    BackupJob job;
    job.DBName = jobs.field(C::DBName).asString();
    job.DBServer = jobs.field(C::DBServer).asString();
    job.DBBenutzer = jobs.field(C::DBBenutzer).asString();
    job.DBPasswort = jobs.field(C::DBPasswort).asString();
    job.ZIP_Dateiname = jobs.field(C::ZIP_Dateiname).asString();
    job.ZIP_erstellen = jobs.field(C::ZIP_erstellen).asBoolean();
    job.FTP_aktiv = jobs.field(C::FTP_aktiv).asBoolean();
    job.FTP_SERVER = jobs.field(C::FTP_SERVER).asString();
    job.FTP_Benutzer = jobs.field(C::FTP_Benutzer).asString();
    job.FTP_Passwort = jobs.field(C::FTP_Passwort).asString();
    job.FTP_Port = jobs.field(C::FTP_Port).asInteger();
    job.FTP_Pfad = jobs.field(C::FTP_Pfad).asString();
    job.FTP_SSL = jobs.field(C::FTP_SSL).asInteger();
    job.FTP_Passiv = jobs.field(C::FTP_Passiv).asInteger();
    job.FTP_Binary = jobs.field(C::FTP_Binary).asInteger();
    job.S3_Region = jobs.field(C::S3_Region).asString();
    return job;
}

void SettingsRecords::writeJob(Dataset& jobs, const BackupJob& job) {
    jobs.field(C::DBName).setAsString(job.DBName);
    jobs.field(C::DBServer).setAsString(job.DBServer);
    jobs.field(C::DBBenutzer).setAsString(job.DBBenutzer);
    jobs.field(C::DBPasswort).setAsString(job.DBPasswort);
    jobs.field(C::ZIP_Dateiname).setAsString(job.ZIP_Dateiname);
    jobs.field(C::ZIP_erstellen).setValue(job.ZIP_erstellen);
    jobs.field(C::FTP_aktiv).setValue(job.FTP_aktiv);
    jobs.field(C::FTP_SERVER).setAsString(job.FTP_SERVER);
    jobs.field(C::FTP_Benutzer).setAsString(job.FTP_Benutzer);
    jobs.field(C::FTP_Passwort).setAsString(job.FTP_Passwort);
    jobs.field(C::FTP_Port).setValue(job.FTP_Port);
    jobs.field(C::FTP_Pfad).setAsString(job.FTP_Pfad);
    jobs.field(C::FTP_SSL).setValue(job.FTP_SSL);
    jobs.field(C::FTP_Passiv).setValue(job.FTP_Passiv);
    jobs.field(C::FTP_Binary).setValue(job.FTP_Binary);
    jobs.field(C::S3_Region).setAsString(job.S3_Region);
}

GeneralSettings SettingsRecords::readGeneral(Dataset& general) {
    GeneralSettings s;
    s.ID = general.field(C::ID).asInteger();
    s.VersenderName = general.field(C::VersenderName).asString();
    s.VersenderEmail = general.field(C::VersenderEmail).asString();
    s.VersenderBenutzerName = general.field(C::VersenderBenutzerName).asString();
    s.VersenderBenutzerPasswort = general.field(C::VersenderBenutzerPasswort).asString();
    s.EmpfaengerEmail = general.field(C::EmpfaengerEmail).asString();
    s.SMTPServer = general.field(C::SMTPServer).asString();
    s.Port = general.field(C::Port).asInteger();
    s.SMTPSSLTLS = general.field(C::SMTPSSLTLS).asBoolean();
    s.OrdnerZIPDateien = general.field(C::OrdnerZIPDateien).asString();
    s.ZIP_Passwort = general.field(C::ZIP_Passwort).asString();
    return s;
}

void SettingsRecords::writeGeneral(Dataset& general, const GeneralSettings& s) {
    // ID is the table's own row number.
    general.field(C::VersenderName).setAsString(s.VersenderName);
    general.field(C::VersenderEmail).setAsString(s.VersenderEmail);
    general.field(C::VersenderBenutzerName).setAsString(s.VersenderBenutzerName);
    general.field(C::VersenderBenutzerPasswort).setAsString(s.VersenderBenutzerPasswort);
    general.field(C::EmpfaengerEmail).setAsString(s.EmpfaengerEmail);
    general.field(C::SMTPServer).setAsString(s.SMTPServer);
    general.field(C::Port).setValue(s.Port);
    general.field(C::SMTPSSLTLS).setValue(s.SMTPSSLTLS);
    general.field(C::OrdnerZIPDateien).setAsString(s.OrdnerZIPDateien);
    general.field(C::ZIP_Passwort).setAsString(s.ZIP_Passwort);
}

namespace {
// Stores an edit in progress; a refusal leaves it pending and is not reported here.
void tryStoreEdit(Dataset& jobs) {
    if (jobs.state() != DatasetState::Edit)
        return;
    try {
        jobs.post();
    } catch (const std::exception&) {
    }
}
} // namespace

BackupJob SettingsRecords::currentJob(Dataset& jobs) {
    tryStoreEdit(jobs);
    return jobs.isOpen() && !jobs.isEmpty() ? readJob(jobs) : BackupJob();
}

GeneralSettings SettingsRecords::currentGeneral(Dataset& general) {
    // Empty values read from settings that are not open would pass for settings left empty: no
    // recipients for the report, no ZIP password for the archive.
    if (!general.isOpen())
        throw ProgramError(
            QStringLiteral("Die Datenmenge '%1' ist nicht geöffnet").arg(general.tableName()));
    return general.isEmpty() ? GeneralSettings() : readGeneral(general);
}

QList<BackupJob> SettingsRecords::jobsForRun(Dataset& jobs) {
    if (!jobs.isOpen())
        jobs.open();
    // A refused store is not reported here: the move below tries it again and ends the run.
    tryStoreEdit(jobs);
    QList<BackupJob> out;
    jobs.first();
    while (!jobs.eof()) {
        BackupJob job = readJob(jobs);
        if (!job.DBName.isEmpty())
            out.append(std::move(job));
        jobs.next();
    }
    return out;
}

void SettingsRecords::storeZipName(Dataset& jobs, const QString& dbName, const QString& zipName) {
    if (!jobs.isOpen())
        jobs.open();
    jobs.first();
    while (!jobs.eof() && jobs.field(C::DBName).asString() != dbName)
        jobs.next();
    if (jobs.eof())
        throw ProgramError(QStringLiteral("Datensatz für Datenbank nicht gefunden: ") + dbName);
    jobs.edit();
    try {
        jobs.field(C::ZIP_Dateiname).setValue(zipName);
        jobs.post();
    } catch (...) {
        jobs.cancel();
        throw;
    }
}
