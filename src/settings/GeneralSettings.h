#pragma once

#include <QString>

// The general settings, the one row of benutzerdaten, as a value.
struct GeneralSettings {
    int ID = 0;
    QString VersenderName;
    QString VersenderEmail;
    QString VersenderBenutzerName;
    QString VersenderBenutzerPasswort;
    QString EmpfaengerEmail;
    QString SMTPServer;
    int Port = 0;
    bool SMTPSSLTLS = false;
    QString OrdnerZIPDateien;
    QString ZIP_Passwort; // empty: archives are not encrypted

    bool operator==(const GeneralSettings&) const = default;
};
