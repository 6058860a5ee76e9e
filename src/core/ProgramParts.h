#pragma once

#include "core/Subsystems.h"

class Clock;
class MailAccountSource;
class TimerFactory;

// Every part of the program, each behind its small interface. The program's assembly fills
// what is left empty with the part built in; a test hands in its own for any of them. The core
// and the backup run get them all filled in.
struct ProgramParts {
    SettingsStore* settings = nullptr;
    SqlSteps* sql = nullptr;
    Packaging* packaging = nullptr;
    Uploader* uploader = nullptr;
    ReportMailer* mailer = nullptr;
    // The account of the built-in report mailer.
    MailAccountSource* mailAccount = nullptr;
    ConnectionReport* connection = nullptr;
    ConnectivityProbe* probe = nullptr;
    UpdateCheck* update = nullptr;
    SupportFiles* supportFiles = nullptr;
    RestoreSteps* restore = nullptr;
    TimerFactory* timers = nullptr;
    const Clock* clock = nullptr;
};
