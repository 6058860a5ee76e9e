#pragma once

#include <QByteArray>
#include <QString>

// The account the report mail leaves through: a build-time setting, never a user setting.
struct MailAccount {
    QString host;
    int port = 465;
    QString senderAddress;
    QString userName;
    QString password;
    // PEM file of certificate authorities trusted besides the system's; may be empty.
    QString caFile;

    // What is missing for a mail to leave, named by its build setting; empty when complete.
    QString missingSettings() const;

    // The account built into this program, user name and password unscrambled.
    static MailAccount builtIn();
    // Reverses the build's scrambling of a text (its UTF-8 bytes).
    static QString unscramble(const unsigned char* bytes, int length);
};
