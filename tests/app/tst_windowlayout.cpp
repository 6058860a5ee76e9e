// The window's layout as a user sees it: the three columns and how they follow the window's size,
// the settings editor's controls with their captions, labels and tab order, and captions that
// fit in the fonts this system has.
#include "FakeTimers.h"
#include "OfflineWindow.h"
#include "TempFolder.h"
#include "app/OrvelApplication.h"
#include "app/TOrvelSQLBackupMain.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTableView>
#include <QTest>

namespace {
constexpr QSize kDesignSize(1008, 661);

// The window at its design size in its own program folder, shown.
struct Fixture {
    TempFolder folder;
    FakeTimers timers;
    std::unique_ptr<TOrvelSQLBackupMain> w;

    Fixture() {
        w = makeOfflineWindow(folder, timers);
        w->show();
        if (!QTest::qWaitForWindowExposed(w.get()))
            qWarning("window not exposed");
    }
    // A widget by its name. The body (the three columns) is searched first, so a widget of the
    // same name made elsewhere in the window does not hide the one the user sees.
    template <typename T = QWidget> T* widget(const QString& name) const {
        auto* body = w->findChild<QWidget*>(QStringLiteral("bodyArea"));
        if (T* x = body ? body->findChild<T*>(name) : nullptr)
            return x;
        return w->findChild<T*>(name);
    }
    // A widget's outline in the coordinates of one of its ancestors.
    static QRect rectIn(const QWidget* x, const QWidget* ancestor) {
        return QRect(x->mapTo(ancestor, QPoint(0, 0)), x->size());
    }
};
} // namespace

class TestWindowLayout : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Each control of the settings editor with its caption; a label names its control, so a
    // screen reader finds an edit or drop-down by its label.
    void controlsWithCaptionsAndLabels_data() {
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("buddy");
        QTest::addColumn<QString>("buddyClass");
        auto row = [](const char* name, const char* cls, const char* text, const char* buddy = "",
                      const char* buddyClass = "") {
            QTest::newRow(name) << QString::fromUtf8(cls) << QString::fromUtf8(text)
                                << QString::fromUtf8(buddy) << QString::fromUtf8(buddyClass);
        };
        // The general settings
        row("Panel9", "QFrame", "");
        row("Label2", "QLabel", "Allgemeine Einstellungen (alle Datenbanken)");
        row("Label20", "QLabel", "Kopie der ZIP-Datei(en) zusätzlich in einem Ordern ablegen");
        row("DBText1", "QLabel", "");
        row("Button4", "QPushButton", "Ordner auswählen");
        row("Label18", "QLabel", "Verarbeitungsprotokolle per Email an:");
        row("Label21", "QLabel", "Emailadresse(n)", "DBEdit17", "QLineEdit");
        row("Label19", "QLabel", "Name", "DBEdit12", "QLineEdit");
        row("ZipPasswordLabel", "QLabel", "ZIP-Passwort (leer = unverschlüsselt):",
            "ZipPasswordEdit", "QLineEdit");
        // The databases to back up
        row("Label9", "QLabel", "zu sichernde Datenbanken");
        row("wwDBGrid1", "QTableView", "");
        row("Panel4", "QWidget", "");
        row("DBNavigator2", "QWidget", "");
        row("Label3", "QLabel", "Datenbankname:", "DBEdit4", "QLineEdit");
        row("Label4", "QLabel", "Datenbankserver:", "DBEdit5", "QLineEdit");
        row("Label5", "QLabel", "DB-Benutzer (sa empfohlen):", "DBEdit6", "QLineEdit");
        row("Label6", "QLabel", "DB-Benutzer-Passwort:", "DBEdit7", "QLineEdit");
        row("Button2", "QPushButton", "Verbindung testen");
        row("lblcheckconnection", "QLabel", "...");
        row("Label8", "QLabel", "ZIP-Datei erstellt unter Name (+ Tag)", "DBEdit8", "QLineEdit");
        row("DBCheckBox2", "QCheckBox", "FTP-Upload");
        row("Label10", "QLabel", "FTP-Server:", "DBEdit9", "QLineEdit");
        row("Label11", "QLabel", "FTP-Benutzer:", "DBEdit10", "QLineEdit");
        row("Label12", "QLabel", "FTP-Passwort:", "DBEdit11", "QLineEdit");
        row("Label13", "QLabel", "FTP-Pfad:", "DBEdit19", "QLineEdit");
        row("Label14", "QLabel", "FTP-Port (Default 21):", "DBEdit20", "QLineEdit");
        row("Label15", "QLabel", "FTP-Übertragung:", "wwDBComboBox1", "QComboBox");
        row("Label16", "QLabel", "Protokoll:", "wwDBComboBox2", "QComboBox");
        row("DBCheckBox5", "QCheckBox", "FTP-Passiv");
    }
    void controlsWithCaptionsAndLabels() {
        QFETCH(QString, className);
        QFETCH(QString, text);
        QFETCH(QString, buddy);
        QFETCH(QString, buddyClass);
        Fixture f;
        QWidget* x = f.widget(QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(x);
        QCOMPARE(QString::fromLatin1(x->metaObject()->className()), className);
        if (x->metaObject()->indexOfProperty("text") >= 0)
            QCOMPARE(x->property("text").toString(), text);
        if (auto* label = qobject_cast<QLabel*>(x)) {
            QWidget* named = label->buddy();
            QCOMPARE(named ? named->objectName() : QString(), buddy);
            if (named) {
                QCOMPARE(QString::fromLatin1(named->metaObject()->className()), buddyClass);
                QCOMPARE(named, f.widget(buddy));
            }
        }
    }

    // The log column takes all the room the window gives or takes; the settings and the jobs
    // columns keep their widths, and the job list ends 400 px above the jobs column's bottom.
    void columnsFollowTheWindowSize_data() {
        QTest::addColumn<QSize>("grow");
        QTest::newRow("design size") << QSize(0, 0);
        QTest::newRow("100 px wider") << QSize(100, 0);
        QTest::newRow("100 px taller") << QSize(0, 100);
    }
    void columnsFollowTheWindowSize() {
        QFETCH(QSize, grow);
        Fixture f;
        QCOMPARE(f.w->size(), kDesignSize);
        const QSize size = kDesignSize + grow;
        f.w->resize(size);
        QTRY_COMPARE(f.w->size(), size);
        QCoreApplication::processEvents();

        auto* log = f.widget(QStringLiteral("Panel6"));
        auto* settings = f.widget(QStringLiteral("Panel7"));
        auto* jobs = f.widget(QStringLiteral("Panel8"));
        auto* list = f.widget(QStringLiteral("wwDBGrid1"));
        QCOMPARE(settings->width(), 359);
        QCOMPARE(jobs->width(), 500);
        QCOMPARE(log->width(), kDesignSize.width() - 359 - 500 + grow.width());
        // Side by side, left to right, up to the window's right edge.
        const QRect logRect = Fixture::rectIn(log, f.w.get());
        const QRect settingsRect = Fixture::rectIn(settings, f.w.get());
        const QRect jobsRect = Fixture::rectIn(jobs, f.w.get());
        QCOMPARE(logRect.left(), 0);
        QCOMPARE(settingsRect.left(), logRect.right() + 1);
        QCOMPARE(jobsRect.left(), settingsRect.right() + 1);
        QCOMPARE(jobsRect.right(), size.width() - 1);
        QCOMPARE(jobsRect.bottom(), size.height() - 1);
        QCOMPARE(settings->height(), jobs->height());
        // The settings box fills its column.
        QCOMPARE(f.widget(QStringLiteral("Panel9"))->geometry(), settings->rect());

        QCOMPARE(list->width(), 201);
        QVERIFY(list->height() > 0);
        QCOMPARE(jobs->height() - Fixture::rectIn(list, jobs).bottom() - 1, 400);
    }

    // Sizes the editor is drawn with, whatever the fonts: the folder button 23 px high with
    // 30 px to either side, the navigator 34 px high, the port edit 66 px wide.
    void statedSizes() {
        Fixture f;
        auto* button = f.widget(QStringLiteral("Button4"));
        auto* box = f.widget(QStringLiteral("Panel9"));
        // The e-mail edit spans the box's inner width.
        const QRect inner = Fixture::rectIn(f.widget(QStringLiteral("DBEdit17")), box);
        const QRect b = Fixture::rectIn(button, box);
        QCOMPARE(button->height(), 23);
        QCOMPARE(b.left(), inner.left() + 30);
        QCOMPARE(b.right(), inner.right() - 30);
        for (const char* name :
             {"Label2", "Label20", "DBText1", "Label18", "DBEdit12", "ZipPasswordEdit"})
            QVERIFY2(Fixture::rectIn(f.widget(QLatin1String(name)), box).left() == inner.left() &&
                         f.widget(QLatin1String(name))->width() == inner.width(),
                     name);

        auto* navigator = f.widget(QStringLiteral("DBNavigator2"));
        auto* editor = f.widget(QStringLiteral("Panel4"));
        QCOMPARE(navigator->height(), 34);
        QCOMPARE(navigator->width(), editor->width());
        QCOMPARE(f.widget(QStringLiteral("DBEdit20"))->width(), 66);
    }

    // A control that stands on its label's line sits right of it, centred on the same line and
    // inside the editor.
    void controlsOnTheirLabelsLine_data() {
        QTest::addColumn<QString>("left");
        QTest::addColumn<QString>("right");
        QTest::newRow("port") << "Label14"
                              << "DBEdit20";
        QTest::newRow("transfer") << "Label15"
                                  << "wwDBComboBox1";
        QTest::newRow("protocol") << "Label16"
                                  << "wwDBComboBox2";
        QTest::newRow("passive") << "wwDBComboBox2"
                                 << "DBCheckBox5";
        QTest::newRow("connection test") << "Button2"
                                         << "lblcheckconnection";
    }
    void controlsOnTheirLabelsLine() {
        QFETCH(QString, left);
        QFETCH(QString, right);
        Fixture f;
        auto* editor = f.widget(QStringLiteral("Panel4"));
        const QRect l = Fixture::rectIn(f.widget(left), editor);
        const QRect r = Fixture::rectIn(f.widget(right), editor);
        QVERIFY(r.left() > l.right());
        QVERIFY2(qAbs(l.center().y() - r.center().y()) <= 1,
                 qPrintable(QStringLiteral("%1 vs %2").arg(l.center().y()).arg(r.center().y())));
        QVERIFY(editor->rect().contains(l));
        QVERIFY(editor->rect().contains(r));
    }

    // Tab goes through the top bar, the general settings, the job list, the job editor and ends
    // in the log.
    void tabOrder() {
        Fixture f;
        const QStringList expected{"btnStart",
                                   "btnEmailsenden",
                                   "Button3",
                                   "btnUpdate",
                                   "Button4",
                                   "DBEdit17",
                                   "DBEdit12",
                                   "ZipPasswordEdit",
                                   "wwDBGrid1",
                                   "DBEdit4",
                                   "DBEdit5",
                                   "DBEdit6",
                                   "DBEdit7",
                                   "Button2",
                                   "DBEdit8",
                                   "DBCheckBox2",
                                   "DBEdit9",
                                   "DBEdit10",
                                   "DBEdit11",
                                   "DBEdit19",
                                   "DBEdit20",
                                   "S3RegionEdit",
                                   "DBNavigator2Insert",
                                   "DBNavigator2Delete",
                                   "DBNavigator2Post",
                                   "DBNavigator2Cancel",
                                   "DBCheckBox5",
                                   "wwDBComboBox1",
                                   "wwDBComboBox2",
                                   "Memo1"};
        QStringList chain;
        // As Tab moves: visible widgets of this window that take focus by Tab, once round.
        QWidget* const start = f.widget(expected.first());
        QWidget* x = start;
        do {
            if ((x->focusPolicy() & Qt::TabFocus) && x->isVisible() && x->window() == f.w.get())
                chain << x->objectName();
            x = x->nextInFocusChain();
        } while (x != start && chain.size() < expected.size());
        QCOMPARE(chain, expected);
    }

    // No caption is cut: a caption is at least as wide as its text (a wrapping label is tall
    // enough for its wrapped text) and as high as a line, in the font it is shown with.
    void captionsFitInTheirFonts_data() {
        QTest::addColumn<int>("pixelSize");
        QTest::addColumn<bool>("bold");
        auto row = [](const char* name, int pixelSize = 11, bool bold = false) {
            QTest::newRow(name) << pixelSize << bold;
        };
        row("Label2", 15);
        row("Label20", 11, true);
        row("Button4");
        row("Label18", 11, true);
        row("Label21");
        row("Label19");
        row("Label9", 15);
        for (const char* name :
             {"DBNavigator2Insert", "DBNavigator2Delete", "DBNavigator2Post", "DBNavigator2Cancel",
              "Label3", "Label4", "Label5", "Label6", "Button2", "Label8", "Label10", "Label11",
              "Label12", "Label13", "Label14", "Label15", "Label16", "DBCheckBox5"})
            row(name);
        row("lblcheckconnection", 19);
        row("DBCheckBox2", 16);
    }
    void captionsFitInTheirFonts() {
        QFETCH(int, pixelSize);
        QFETCH(bool, bold);
        Fixture f;
        QWidget* x = f.widget(QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(x);
        QCOMPARE(x->font().pixelSize(), pixelSize);
        QCOMPARE(x->font().bold(), bold);
        auto* label = qobject_cast<QLabel*>(x);
        if (label && label->wordWrap())
            QVERIFY2(label->heightForWidth(label->width()) <= label->height(),
                     qPrintable(QStringLiteral("needs %1 px, has %2")
                                    .arg(label->heightForWidth(label->width()))
                                    .arg(label->height())));
        else
            QVERIFY2(x->width() >= x->sizeHint().width(),
                     qPrintable(QStringLiteral("needs %1 px, has %2")
                                    .arg(x->sizeHint().width())
                                    .arg(x->width())));
        QVERIFY(x->height() >= x->fontMetrics().height());
        QVERIFY(x->isVisible());
    }

    void dropDownItemsInOrder_data() {
        QTest::addColumn<QStringList>("items");
        QTest::newRow("wwDBComboBox1") << QStringList{"TEXT ASCII", "BINÄR"};
        QTest::newRow("wwDBComboBox2") << QStringList{"FTP", "FTPS", "SFTP", "S3"};
    }
    void dropDownItemsInOrder() {
        QFETCH(QStringList, items);
        Fixture f;
        auto* box = f.widget<QComboBox>(QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(box);
        QStringList shown;
        for (int i = 0; i < box->count(); ++i)
            shown << box->itemText(i);
        QCOMPARE(shown, items);
    }

    // The navigator's buttons show a sign; their tooltip and the name a screen reader reads say
    // what they do.
    void navigatorButtons_data() {
        QTest::addColumn<QString>("sign");
        QTest::addColumn<QString>("meaning");
        QTest::newRow("DBNavigator2Insert") << "+"
                                            << "Datensatz einfügen";
        QTest::newRow("DBNavigator2Delete") << "−"
                                            << "Datensatz löschen";
        QTest::newRow("DBNavigator2Post") << "✓"
                                          << "Datensatz speichern";
        QTest::newRow("DBNavigator2Cancel") << "✗"
                                            << "Bearbeitung abbrechen";
    }
    void navigatorButtons() {
        QFETCH(QString, sign);
        QFETCH(QString, meaning);
        Fixture f;
        auto* navigator = f.widget(QStringLiteral("DBNavigator2"));
        QCOMPARE(navigator->accessibleName(), QStringLiteral("Navigator"));
        auto* button =
            navigator->findChild<QAbstractButton*>(QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(button);
        QCOMPARE(button->metaObject()->className(), "QToolButton");
        QCOMPARE(button->text(), sign);
        QCOMPARE(button->toolTip(), meaning);
        QCOMPARE(button->accessibleName(), meaning);
    }

    // Passwords show as stars, whatever mask character the style has.
    void passwordsShowAsStars_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("database") << "DBEdit7";
        QTest::newRow("ftp") << "DBEdit11";
    }
    void passwordsShowAsStars() {
        QFETCH(QString, name);
        Fixture f;
        auto* edit = f.widget<QLineEdit>(name);
        QVERIFY(edit);
        const QSignalBlocker quiet(edit); // only what the edit shows, not what it would store
        edit->setText(QStringLiteral("geheim"));
        QCOMPARE(edit->displayText(), QStringLiteral("******"));
        QCOMPARE(edit->text(), QStringLiteral("geheim"));
    }

    // The job list: named for screen readers, one row at a time, no row numbers; its column
    // is teal with white captions.
    void jobsColumn() {
        Fixture f;
        auto* list = f.widget<QTableView>(QStringLiteral("wwDBGrid1"));
        QCOMPARE(list->accessibleName(), QStringLiteral("zu sichernde Datenbanken"));
        QCOMPARE(list->selectionMode(), QAbstractItemView::SingleSelection);
        QCOMPARE(list->selectionBehavior(), QAbstractItemView::SelectRows);
        QVERIFY(list->verticalHeader()->isHidden());

        auto* jobs = f.widget(QStringLiteral("Panel8"));
        // Below the list, where nothing else is drawn.
        const QImage shot = jobs->grab().toImage();
        const QPoint below(Fixture::rectIn(list, jobs).center().x(), jobs->height() - 100);
        QCOMPARE(shot.pixelColor(below), QColor(0x00, 0x80, 0x80));
        for (const char* name :
             {"Label9", "Label3", "lblcheckconnection", "DBCheckBox2", "DBCheckBox5"})
            QVERIFY2(f.widget(QLatin1String(name))->palette().color(QPalette::WindowText) ==
                         QColor(Qt::white),
                     name);
    }
};

int main(int argc, char** argv) {
    qputenv("LC_ALL", "de_DE.UTF-8");
    QApplication app(argc, argv);
    // The program's own look.
    OrvelApplication::applyBlueStyle();
    TestWindowLayout test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_windowlayout.moc"
