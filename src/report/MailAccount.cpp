#include "report/MailAccount.h"

#include "report/MailAccountData.h"

#include <QStringList>

QString MailAccount::missingSettings() const {
    QStringList missing;
    if (host.isEmpty())
        missing << QStringLiteral("ORVEL_MAIL_HOST");
    if (port <= 0 || port > 65535)
        missing << QStringLiteral("ORVEL_MAIL_PORT");
    if (senderAddress.isEmpty())
        missing << QStringLiteral("ORVEL_MAIL_SENDER");
    if (userName.isEmpty())
        missing << QStringLiteral("ORVEL_MAIL_USER");
    if (password.isEmpty())
        missing << QStringLiteral("ORVEL_MAIL_PASSWORD");
    return missing.join(QStringLiteral(", "));
}

QString MailAccount::unscramble(const unsigned char* bytes, int length) {
    // The same generator as the build's scrambling (cmake/OrvelScramble.cmake).
    quint64 state = 20061;
    QByteArray text;
    text.reserve(length);
    for (int i = 0; i < length; ++i) {
        state = (state * 1103515245 + 12345) % 2147483648;
        text += char(bytes[i] ^ ((state >> 16) & 255));
    }
    return QString::fromUtf8(text);
}

MailAccount MailAccount::builtIn() {
    MailAccount a;
    a.host = QStringLiteral(ORVEL_MAIL_HOST);
    a.port = ORVEL_MAIL_PORT;
    a.senderAddress = QStringLiteral(ORVEL_MAIL_SENDER);
    a.caFile = QStringLiteral(ORVEL_MAIL_CAFILE);
    a.userName = unscramble(MailAccountData::scrambledUser, MailAccountData::scrambledUserLength);
    a.password =
        unscramble(MailAccountData::scrambledPassword, MailAccountData::scrambledPasswordLength);
    return a;
}
