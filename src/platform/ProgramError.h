#pragma once

#include <QString>
#include <stdexcept>

// The program's one exception type: a failure that carries the text the log book shows.
class ProgramError : public std::runtime_error {
public:
    explicit ProgramError(const QString& message)
        : std::runtime_error(message.toStdString()), m_message(message) {}
    const QString& message() const { return m_message; }

private:
    QString m_message;
};

// The text of any exception, as the log book shows it.
inline QString exceptionText(const std::exception& e) {
    if (auto* pe = dynamic_cast<const ProgramError*>(&e))
        return pe->message();
    return QString::fromUtf8(e.what());
}
