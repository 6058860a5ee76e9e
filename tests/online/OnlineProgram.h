#pragma once

#include "FakeTimers.h"
#include "FakeView.h"
#include "TempFolder.h"
#include "WebTestServer.h"
#include "core/ProgramAssembly.h"
#include "platform/IniFile.h"

#include <memory>

// Takes no part in these tests: the report mail.
class SilentMailer : public ReportMailer {
public:
    void prepareCredentials() override {}
    void sendReport(qint32) override {}
};

// The system's report of a connection as the test sets it.
class SetConnection : public ConnectionReport {
public:
    bool systemReportsConnection() override { return connected; }
    bool connected = true;
};

// The program without a window in a program folder of its own, its INI file pointing at the
// test server: Internet=<setting>, WebServer= and WebCAFile=.
struct OnlineProgram {
    TempFolder folder;
    FakeTimers timers;
    FakeView view;
    SilentMailer mailer;
    SetConnection connection;
    bool& systemConnection = connection.connected;
    std::unique_ptr<ProgramAssembly> program;

    OnlineProgram(const WebTestServer& server, int internetSetting) {
        IniFile ini(folder.file(QStringLiteral("OrvelSQLBackup.INI")));
        const QString section = QStringLiteral("OrvelSQLBackup");
        ini.setValue(section, QStringLiteral("Internet"), QString::number(internetSetting));
        ini.setValue(section, QStringLiteral("WebServer"), server.base());
        ini.setValue(section, QStringLiteral("WebCAFile"), server.caFile());
        ProgramAssembly::Options o;
        o.programFolder = folder.path();
        o.parts.timers = &timers;
        o.parts.mailer = &mailer;
        o.parts.connection = &connection;
        program = std::make_unique<ProgramAssembly>(o, view);
    }
    ProgramCore& core() { return program->core(); }
    // Created and shown; the start preparation runs when the test fires it.
    void createAndShow() {
        core().windowCreated();
        core().windowShown();
    }
    void prepare() { timers.preparation().fire(); }
    QStringList lines() const {
        QStringList out;
        for (const QString& l : program->log().lines())
            out << l.mid(20);
        return out;
    }
};
