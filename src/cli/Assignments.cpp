#include "cli/Assignments.h"

#include "cli/CliContext.h"
#include "cli/ColumnRules.h"
#include "platform/ProgramError.h"

bool Assignments::parse(const QStringList& words, const QString& command, QString& error) {
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QString& word = words.at(i);
        if (word == QLatin1String("--secret")) {
            if (i + 1 >= words.size()) {
                error = QStringLiteral("--secret braucht den Namen einer Spalte");
                return false;
            }
            const QString column = words.at(++i);
            if (!ColumnRules::isSecret(column)) {
                error = QStringLiteral("'%1' ist keine Spalte mit einem Passwort; --secret gilt "
                                       "nur für DBPasswort, FTP_Passwort, ZIP_Passwort und "
                                       "VersenderBenutzerPasswort")
                            .arg(column);
                return false;
            }
            m_secrets.append(column);
            continue;
        }
        const qsizetype equals = word.indexOf(QLatin1Char('='));
        if (equals <= 0) {
            error = QStringLiteral("'%1' ist keine Zuweisung SPALTE=WERT").arg(word);
            return false;
        }
        const QString column = word.left(equals);
        if (ColumnRules::isSecret(column)) {
            // The value itself is never repeated.
            error = QStringLiteral("%1 wird nicht auf der Befehlszeile angenommen: dort sehen ihn "
                                   "andere Benutzer (ps) und die Shell-Historie behält ihn. "
                                   "Stattdessen: orvelsqlbackup-cli %2 --secret %1 (liest ihn "
                                   "ohne Anzeige vom Terminal oder eine Zeile von der "
                                   "Standardeingabe)")
                        .arg(column, command);
            return false;
        }
        m_values.append({column, word.mid(equals + 1)});
    }
    return true;
}

bool Assignments::readSecrets(CliContext& context, const QString& owner, QString& error) {
    for (const QString& column : std::as_const(m_secrets)) {
        QString secret;
        if (!context.readSecret(column + QStringLiteral(" für ") + owner, secret)) {
            error = QStringLiteral("Kein Wert für %1 gelesen (Ende der Eingabe)").arg(column);
            return false;
        }
        m_secretValues.append({column, secret});
    }
    return true;
}

void Assignments::apply(Dataset& dataset) const {
    for (const auto& list : {m_values, m_secretValues}) {
        for (const auto& [column, text] : list) {
            try {
                ColumnRules::setText(dataset, column, text);
            } catch (const std::exception& e) {
                const QString message = exceptionText(e);
                if (message.contains(column))
                    throw;
                throw ProgramError(column + QStringLiteral(": ") + message);
            }
        }
    }
}
