#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

class CliContext;
class Dataset;

// The changes a command line names: COLUMN=VALUE words and `--secret COLUMN` options, in the
// order given. A secret column given with its value is refused: the command line is seen by
// `ps` and kept in the shell's history.
class Assignments {
public:
    // `command` is how the hint names the command ("job set Lager3"). False with a message.
    bool parse(const QStringList& words, const QString& command, QString& error);
    // Reads every `--secret` column's value (terminal without echo, or one line of standard
    // input each); false when the input ended first.
    bool readSecrets(CliContext& context, const QString& owner, QString& error);
    bool isEmpty() const { return m_values.isEmpty() && m_secrets.isEmpty(); }

    // Sets the columns on the current row, which is being edited; throws ProgramError with the
    // field's message, prefixed by the column.
    void apply(Dataset& dataset) const;

private:
    QList<QPair<QString, QString>> m_values; // column, text
    QStringList m_secrets;                   // columns to read
    QList<QPair<QString, QString>> m_secretValues;
};
