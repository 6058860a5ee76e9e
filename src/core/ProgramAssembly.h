#pragma once

#include "core/LogBook.h"
#include "core/ProgramCore.h"
#include "core/ProgramParts.h"
#include "platform/ErrorCount.h"

#include <QString>
#include <QStringList>
#include <memory>

class DownloadView;
class ProgramView;
class SftpUploadView;
class UpdateWizardView;

// Assembles the whole program without its window: the log book, the error count, the parts
// (the settings file, the SQL Server steps, the packaging, the upload, the report mail, the online
// parts, the timers and the clock) and the core that runs them. Every part the caller hands in
// replaces the built-in one; the others are built here.
class ProgramAssembly {
public:
    // The windows the parts show when they ask; null: the part works without one.
    struct Windows {
        UpdateWizardView* updateWizard = nullptr;  // null: no wizard and no message box
        DownloadView* supportProgress = nullptr;   // null: support files download unseen
        SftpUploadView* sftpWindow = nullptr;      // null: SFTP uploads without a window
    };
    struct Options {
        QString programFolder; // ends in '/'
        QStringList arguments; // as given, without the program name
        QString buildDate;     // "DD.MM.YYYY"
        bool unattended = false;
        bool echoLogToStdout = false;
        // Parts handed in instead of the built-in ones (tests); empty ones are built in.
        ProgramParts parts;
        Windows windows;
    };

    ProgramAssembly(Options options, ProgramView& view);
    ~ProgramAssembly();
    ProgramAssembly(const ProgramAssembly&) = delete;
    ProgramAssembly& operator=(const ProgramAssembly&) = delete;

    ProgramCore& core() { return *m_core; }
    LogBook& log() { return m_log; }
    // Every part, filled in: the handed-in ones and the built-in ones.
    const ProgramParts& parts() const { return m_options.parts; }

private:
    struct BuiltIn;

    Options m_options;
    LogBook m_log;
    ErrorCount m_errors;
    std::unique_ptr<BuiltIn> m_builtIn;
    std::unique_ptr<ProgramCore> m_core;
};
