#include "app/TOrvelSQLBackupMain.h"

#include "backup/ArchivePackager.h"
#include "backup/BackupRun.h"
#include "platform/Clock.h"
#include "app/CountdownNotice.h"
#include "settings/Dataset.h"
#include "platform/DateText.h"
#include "platform/ProgramError.h"
#include "settings/SettingsDatabase.h"
#include "platform/SingleInstance.h"
#include "backup/SqlMaintenance.h"
#include "platform/VersionInfo.h"
#include "app/ScreenLog.h"
#include "core/WindowSizeRule.h"
#include "ui_TOrvelSQLBackupMain.h"

#include <QCloseEvent>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>

const QString TOrvelSQLBackupMain::kNoticeText = QStringLiteral(
    "<FONT size=\"16\">Der automatische Verarbeitungsprozess startet nach 10 Sekunden.<BR><BR>"
    "<U>Klicken Sie bitte HIER</U>, um den Start zu verhindern. <BR><BR>Dann können Sie "
    "Einstellungen im Programm vornehmen.</FONT>");

namespace {
constexpr QSize kDesignClientSize(1008, 661);
const QString kIniSection = QStringLiteral("OrvelSQLBackup");
const QString kIniKey = QStringLiteral("Internet");

// INI sections and keys are read without regard to case, as Windows reads them; a value is
// written back under the spelling the file already has.
QString internetKeyPath(QSettings& ini) {
    const QStringList groups = ini.childGroups();
    for (const QString& group : groups) {
        if (group.compare(kIniSection, Qt::CaseInsensitive) != 0)
            continue;
        ini.beginGroup(group);
        const QStringList keys = ini.childKeys();
        ini.endGroup();
        for (const QString& key : keys)
            if (key.compare(kIniKey, Qt::CaseInsensitive) == 0)
                return group + QLatin1Char('/') + key;
        return group + QLatin1Char('/') + kIniKey;
    }
    return kIniSection + QLatin1Char('/') + kIniKey;
}
} // namespace

TOrvelSQLBackupMain::TOrvelSQLBackupMain(Options options, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::OrvelSQLBackupMain>()),
      m_options(std::move(options)),
      m_clock(m_options.clock ? m_options.clock : &SystemClock::instance()),
      m_log(*m_clock) {
    ui->setupUi(this);
    m_screenLog = std::make_unique<ScreenLog>(ui->Memo1);
    m_log.setView(m_screenLog.get());
    m_programFolder = resolveProgramFolder(m_options.programFolder);

    m_settings = std::make_unique<SettingsDatabase>(m_log, m_programFolder);
    m_sql = std::make_unique<SqlMaintenance>(m_log, m_errors, m_programFolder);
    m_archive = std::make_unique<ArchivePackager>(m_log, m_errors, *m_clock, m_programFolder);
    BackupRun::Steps steps;
    steps.arbeitsprozess = [this](const BackupJob& job) { m_sql->arbeitsprozess(job); };
    steps.zipprozess = [this](const BackupJob& job) {
        Dataset& jobs = queryDatenbanken();
        BackupJob packed = job;
        return m_archive->zipprozess(
            packed, queryBenutzerdaten().field(QStringLiteral("OrdnerZIPDateien")).asString(),
            SqlMaintenance::fullBackupFileFor(m_programFolder, job.DBName),
            SqlMaintenance::logBackupFileFor(m_programFolder, job.DBName), [&jobs](const QString& name) {
                jobs.edit();
                jobs.setValue(QStringLiteral("ZIP_Dateiname"), name);
                jobs.post();
            });
    };
    steps.ftphochladen = [this](const QString& path, const QString& name) { return ftphochladen(path, name); };
    m_run = std::make_unique<BackupRun>(m_log, m_errors, queryDatenbanken(), std::move(steps));

    // The job editor's connection test; the editor itself lays them out.
    Button2 = new QPushButton(QStringLiteral("Verbindung testen"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->hide();
    lblcheckconnection = new QLabel(QStringLiteral("..."), this);
    lblcheckconnection->setObjectName(QStringLiteral("lblcheckconnection"));
    lblcheckconnection->hide();
    connect(Button2, &QPushButton::clicked, this, [this] { guarded([this] { Button2Click(Button2); }); });
    m_log.setEchoToStdout(m_options.echoLogToStdout);

    QFont windowFont(QStringLiteral("Segoe UI"));
    windowFont.setPixelSize(11);
    setFont(windowFont);
    QFont headingFont(QStringLiteral("Segoe UI"));
    headingFont.setPixelSize(15);
    ui->Label7->setFont(headingFont);
    QFont memoFont(QStringLiteral("Tahoma"));
    memoFont.setPixelSize(9);
    ui->Memo1->setFont(memoFont);

    Timer1.setInterval(1000);
    Timer2.setInterval(15000);
    connect(&Timer1, &QTimer::timeout, this, &TOrvelSQLBackupMain::startPreparation);
    connect(&Timer2, &QTimer::timeout, this, [this] { guarded([this] { Timer2Timer(&Timer2); }); });

    connect(ui->btnStart, &QPushButton::clicked, this,
            [this] { guarded([this] { btnStartClick(ui->btnStart); }); });
    connect(ui->btnEmailsenden, &QPushButton::clicked, this,
            [this] { guarded([this] { btnEmailsendenClick(ui->btnEmailsenden); }); });
    connect(ui->btnUpdate, &QPushButton::clicked, this,
            [this] { guarded([this] { btnUpdateClick(ui->btnUpdate); }); });
    connect(ui->Button3, &QPushButton::clicked, this,
            [this] { guarded([this] { Button3Click(ui->Button3); }); });

    SmartMessageBox = new CountdownNotice(this);
    connect(SmartMessageBox, &CountdownNotice::clicked, this,
            [this](int index) { guarded([this, index] { SmartMessageBoxClick(SmartMessageBox, index); }); });

    // KeyPreview: the window sees every typed character before the focused control.
    qApp->installEventFilter(this);

    // Window load: one instance per user.
    if (m_options.singleInstance) {
        VrRunOnce1 = new SingleInstance(QStringLiteral(ORVEL_PRODUCT_NAME), this);
        m_terminate = VrRunOnce1->anotherInstanceRuns();
        connect(VrRunOnce1, &SingleInstance::raiseRequested, this, &TOrvelSQLBackupMain::raiseWindow);
    }
}

TOrvelSQLBackupMain::~TOrvelSQLBackupMain() {
    if (qApp)
        qApp->removeEventFilter(this);
}

QString TOrvelSQLBackupMain::resolveProgramFolder(const QString& configured) {
    QString folder = configured.isEmpty() ? QCoreApplication::applicationDirPath() : QDir::cleanPath(configured);
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder;
}

Dataset& TOrvelSQLBackupMain::queryDatenbanken() { return m_settings->queryDatenbanken; }
SettingsConnection& TOrvelSQLBackupMain::ADOConnection1() { return m_settings->ADOConnection1; }
Dataset& TOrvelSQLBackupMain::queryVersion() { return m_settings->queryVersion; }
SettingsCommand& TOrvelSQLBackupMain::ADOQuery1() { return m_settings->ADOQuery1; }
SqlConnection& TOrvelSQLBackupMain::SQLCon() { return m_sql->SQLCon; }
SqlQuery& TOrvelSQLBackupMain::queryMaster() { return m_sql->queryMaster; }
SqlQuery& TOrvelSQLBackupMain::querysysfiles() { return m_sql->querysysfiles; }
SqlDataSource& TOrvelSQLBackupMain::sourceSysFiles() { return m_sql->sourceSysFiles; }
SqlCommand& TOrvelSQLBackupMain::SQLCommand() { return m_sql->SQLCommand; }
Dataset& TOrvelSQLBackupMain::queryBenutzerdaten() { return m_settings->queryBenutzerdaten; }

QString TOrvelSQLBackupMain::iniFileName() const {
    return m_programFolder + QStringLiteral("OrvelSQLBackup.INI");
}

void TOrvelSQLBackupMain::FormCreate(QObject*) {
    m_shortDateFormat = QStringLiteral("dd/MM/yyyy");

    // The program folder was resolved when the window was made; its objects already use it.
    m_logFolder = m_programFolder + QStringLiteral("log/");
    m_log.setLogFolder(m_logFolder);

    m_log.clearScreen();
    writelogentry(QStringLiteral("Programm startet"));

    m_ini = std::make_unique<QSettings>(iniFileName(), QSettings::IniFormat);
    const QString internetKey = internetKeyPath(*m_ini);
    bool ok = false;
    m_internetSetting = m_ini->value(internetKey, 0).toString().trimmed().toInt(&ok);
    if (!ok)
        m_internetSetting = 0;
    if (m_internetSetting == 0) {
        m_ini->setValue(internetKey, QStringLiteral("0"));
        m_ini->sync();
        const QFileInfo ini(iniFileName());
        if (m_ini->status() != QSettings::NoError || !ini.isFile() || !ini.isWritable())
            throw ProgramError(QStringLiteral("In %1 kann nicht geschrieben werden").arg(iniFileName()));
    }
    if (m_internetSetting == 1)
        writelogentry(QStringLiteral("Keine Internetverbindung gesetzt"));

    applyWindowSizeRule();

    m_firstStartParameter = m_options.arguments.value(0);
    if (!m_firstStartParameter.isEmpty())
        writelogentry(QStringLiteral("Startparameter: ") + m_firstStartParameter);
}

void TOrvelSQLBackupMain::applyWindowSizeRule() {
    QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!s) {
        resize(kDesignClientSize);
        return;
    }
    // The rule works in device pixels; Qt places windows in device-independent ones.
    const qreal dpr = s->devicePixelRatio();
    const QRect area = s->availableGeometry();
    const int ppi = qRound(s->logicalDotsPerInch() * dpr);
    const QSize design = kDesignClientSize * dpr;
    const QSize outer = windowSizeRule(qRound(area.width() * dpr), qRound(area.height() * dpr), ppi, design);
    m_outerSize = QSize(outer.width() == design.width() ? -1 : qRound(outer.width() / dpr),
                        outer.height() == design.height() ? -1 : qRound(outer.height() / dpr));
    resize(m_outerSize.width() < 0 ? kDesignClientSize.width() : m_outerSize.width(),
           m_outerSize.height() < 0 ? kDesignClientSize.height() : m_outerSize.height());
}

void TOrvelSQLBackupMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_shownOnce)
        return;
    m_shownOnce = true;
    // The rule sizes the outer window, frame included; then centre it on its screen.
    // A dimension the rule left alone keeps its design client size.
    const QSize frame = frameGeometry().size() - geometry().size();
    resize(m_outerSize.width() < 0 ? width() : m_outerSize.width() - frame.width(),
           m_outerSize.height() < 0 ? height() : m_outerSize.height() - frame.height());
    if (QScreen* s = screen())
        move(s->availableGeometry().center() - frameGeometry().center() + pos());
    guarded([this] { FormShow(this); });
}

void TOrvelSQLBackupMain::FormShow(QObject*) {
    if (systemReportsConnection() && m_internetSetting == 0)
        Berichtsvorlagencheck();
    // The report mail account is prepared by the mail subsystem.
    Timer1.start();
}

QString TOrvelSQLBackupMain::buildDateText() const {
    const QFileInfo exe(QCoreApplication::applicationFilePath());
    return exe.lastModified().toString(QStringLiteral("dd.MM.yyyy"));
}

void TOrvelSQLBackupMain::Timer1Timer(QObject*) {
    Timer1.stop();
    setWindowTitle(QStringLiteral(ORVEL_PRODUCT_NAME " " ORVEL_PRODUCT_VERSION " ") + buildDateText() +
                   QStringLiteral(" " ORVEL_LEGAL_COPYRIGHT));

    QDir().mkdir(m_logFolder);

    const QString database = m_programFolder + QStringLiteral("sqlback.mdb");
    if (!QFileInfo::exists(database) && CreateAccessDatabase(database))
        writelogentry(QStringLiteral("Einstellungsdatenbank erstellt"));
    writelogentry(QStringLiteral("Verbinde mit Einstellungsdatenbank"));
    checkdatabase();

    detachDataControls();

    writelogentry(QStringLiteral("Prüfe Internetverbindung"));
    if (m_internetSetting != 0) {
        writelogentry(QStringLiteral("Prüfung Internetverbindung unterdrückt"));
    } else if (checkinternetconnection()) {
        writelogentry(QStringLiteral("Internetverbindung verfügbar"));
        writelogentry(QStringLiteral("IP-Adresse: ") + m_publicAddress);
    } else {
        writelogentry(QStringLiteral("keine Internetverbindung gefunden"));
    }

    SmartMessageBox->clear();
    SmartMessageBox->addMessage(kNoticeText, kNoticeMaxMs, kNoticeMinMs);
    SmartMessageBox->showMessages();

    Timer2.start();
}

void TOrvelSQLBackupMain::startPreparation() {
    bool prepared = false;
    guarded([this, &prepared] {
        Timer1Timer(&Timer1);
        prepared = true;
    });
    // Without a display the window would wait for a user that never comes: the automatic run
    // still happens (its steps log and count what fails) and the program ends.
    if (!prepared && m_options.unattended && !Timer2.isActive()) {
        writelogentry(QStringLiteral("FEHLER: Startvorbereitung abgebrochen"));
        Timer2.start();
    }
}

void TOrvelSQLBackupMain::Timer2Timer(QObject*) {
    Timer2.stop();
    // A run started by hand during the countdown is still going: the report and the close must
    // not cut into it, so the automatic run waits for it to end.
    if (m_run->isRunning()) {
        Timer2.start(1000);
        return;
    }
    // Each step in its own guard: what escapes it is dropped and the run goes on.
    try {
        btnStartClick(&Timer2);
    } catch (...) {
    }
    try {
        btnEmailsendenClick(&Timer2);
    } catch (...) {
    }
    writelogentry(QStringLiteral("Installierte Programmversion: " ORVEL_PRODUCT_VERSION));
    try {
        if (m_publicAddress.isEmpty() || m_internetSetting != 0)
            writelogentry(QStringLiteral("Kein Zugriff auf das Internet möglich"));
        else
            automaticUpdateCheck();
    } catch (...) {
    }
    close();
}

void TOrvelSQLBackupMain::SmartMessageBoxClick(QObject*, int) {
    Timer2.stop();
    writelogentry(QStringLiteral("Automatische Programmausführung wurde deaktiviert"));
    SmartMessageBox->clear();
    attachDataControls();
}

void TOrvelSQLBackupMain::FormCloseQuery(QObject*, bool& CanClose) {
    postPendingSettings();
    writelogentry(QStringLiteral("Programm wird beendet"));
    CanClose = true;
}

void TOrvelSQLBackupMain::closeEvent(QCloseEvent* event) {
    bool canClose = true;
    try {
        FormCloseQuery(this, canClose);
    } catch (const std::exception& e) {
        // A refused row keeps the window open; the message goes to the log book.
        canClose = false;
        ApplicationEvents1Exception(this, e);
        if (m_options.unattended) {
            // Nobody is there to mend the row: it stays unstored and the program ends.
            writelogentry(QStringLiteral("FEHLER: Änderungen der Einstellungen nicht gespeichert"));
            writelogentry(QStringLiteral("Programm wird beendet"));
            canClose = true;
        }
    }
    if (!canClose) {
        event->ignore();
        return;
    }
    Timer1.stop();
    Timer2.stop();
    SmartMessageBox->clear();
    event->accept();
    Q_EMIT closed();
}

void TOrvelSQLBackupMain::FormKeyPress(QObject*, QChar& Key, Qt::KeyboardModifiers modifiers) {
    if (Key == QChar(13) && !(modifiers & Qt::ShiftModifier)) {
        // Move on to the next control once the focused one has had the key too.
        QMetaObject::invokeMethod(this, [this] { focusNextChild(); }, Qt::QueuedConnection);
    }
}

bool TOrvelSQLBackupMain::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        // A key travels up the parent chain when ignored; take it once, at its first receiver.
        auto* w = qobject_cast<QWidget*>(watched);
        QWidget* first = QApplication::focusWidget() ? QApplication::focusWidget() : this;
        if (w && w == first && w->window() == this) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (!key->text().isEmpty() || key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
                QChar c = (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
                              ? QChar(13)
                              : key->text().at(0);
                guarded([&] { FormKeyPress(this, c, key->modifiers()); });
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TOrvelSQLBackupMain::ApplicationEvents1Exception(QObject*, const std::exception& E) {
    writelogentry(exceptionText(E));
}

void TOrvelSQLBackupMain::raiseWindow() {
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
}

bool TOrvelSQLBackupMain::CreateAccessDatabase(const QString& Database) {
    return SettingsDatabase::CreateAccessDatabase(Database);
}

void TOrvelSQLBackupMain::checkdatabase() { m_settings->checkdatabase(); }

void TOrvelSQLBackupMain::postPendingSettings() { m_settings->postPendingChanges(); }

void TOrvelSQLBackupMain::btnStartClick(QObject*) {
    // SqlMaintenance is busy outside a run only while a connection test waits for its server.
    if (!m_run->isRunning() && m_sql->isBusy()) {
        writelogentry(QStringLiteral("Verbindungstest läuft, die Sicherung wird nicht gestartet"));
        return;
    }
    m_run->setFirstStartParameter(m_firstStartParameter);
    m_run->btnStartClick();
}

void TOrvelSQLBackupMain::Button2Click(QObject*) {
    // The test shares the connection objects and the job list with a run.
    if (m_run->isRunning() || m_sql->isBusy()) {
        writelogentry(QStringLiteral("Verbindungstest während einer laufenden Sicherung nicht möglich"));
        return;
    }
    Dataset& jobs = queryDatenbanken();
    if (jobs.state() == DatasetState::Edit) {
        try {
            jobs.post();
        } catch (const std::exception&) {
            // The test uses the values shown.
        }
    }
    const BackupJob job = jobs.isOpen() && !jobs.isEmpty() ? BackupRun::currentJob(jobs) : BackupJob();
    lblcheckconnection->setText(m_sql->connectionTest(job));
}

bool TOrvelSQLBackupMain::ftphochladen(const QString&, const QString& ftpdatenbankname) {
    writelogentry(QStringLiteral("FEHLER: Upload ist in dieser Version nicht verfügbar: ") + ftpdatenbankname);
    return false;
}
bool TOrvelSQLBackupMain::checkinternetconnection() {
    m_publicAddress.clear();
    return false;
}
void TOrvelSQLBackupMain::Berichtsvorlagencheck() {}
void TOrvelSQLBackupMain::btnEmailsendenClick(QObject*) {}
void TOrvelSQLBackupMain::btnUpdateClick(QObject*) {}
void TOrvelSQLBackupMain::Button3Click(QObject*) {}
void TOrvelSQLBackupMain::automaticUpdateCheck() {}
bool TOrvelSQLBackupMain::systemReportsConnection() { return false; }
