#pragma once

#include <QString>
#include <QTextStream>

// What every command works with: the program folder whose settings it reads and changes, and the
// standard streams. Messages for the user go to the error stream, results to the output stream.
class CliContext {
public:
    explicit CliContext(QString programFolder);

    // Ends in '/'.
    const QString& programFolder() const { return m_programFolder; }
    QTextStream& out() { return m_out; }
    QTextStream& err() { return m_err; }

    // A secret for `what`: typed at the terminal without echo, or one line of standard input
    // when that is no terminal. False when nothing could be read (end of input).
    bool readSecret(const QString& what, QString& secret);

private:
    QString m_programFolder;
    QTextStream m_out;
    QTextStream m_err;
};
