#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

#include <memory>

// Where a mail goes and how long we wait for it.
struct SmtpEndpoint {
    QString host;
    int port = 465;
    // PEM file of certificate authorities trusted besides the system's; empty: the system's.
    QString caFile;
    int connectTimeoutS = 30;
    int replyTimeoutS = 60;
    // RFC 5321 gives the server ten minutes to accept the mail after its last line.
    int dataEndTimeoutS = 600;
};

struct SmtpReply {
    int code = 0;
    QByteArray text; // every line of the reply, code included, joined by blanks

    bool positive() const { return code >= 200 && code < 400; }
};

// A blocking SMTP client with implicit TLS: the TLS handshake follows the TCP connect at once,
// TLS 1.2 or newer, and the server's certificate is verified against its host name. Every call
// waits at most the endpoint's time-outs and throws ProgramError with a German text on any
// failure. Credentials never appear in an error text.
class SmtpClient {
public:
    explicit SmtpClient(SmtpEndpoint endpoint);
    ~SmtpClient();
    SmtpClient(const SmtpClient&) = delete;
    SmtpClient& operator=(const SmtpClient&) = delete;

    // TCP connection, TLS handshake, the greeting and EHLO.
    void connect();
    bool isConnected() const;
    // AUTH LOGIN.
    void login(const QString& user, const QString& password);
    // MAIL FROM; declares an 8-bit body where the server takes one.
    void mailFrom(const QString& address, bool eightBitBody);
    // RCPT TO; the server's reply, refused or not (a failed connection still throws).
    SmtpReply rcptTo(const QString& address);
    // DATA, the message with its lines dot-stuffed, and the end of data.
    void data(const QByteArray& message);
    // QUIT when connected, then the connection closed; never throws.
    void quit();
    void close();

private:
    struct Connection;

    SmtpReply command(const QByteArray& line, const char* what, int timeoutS);
    SmtpReply expect(const QByteArray& line, const char* what, int wantedCode);
    [[noreturn]] void refused(const char* what, const SmtpReply& reply);

    SmtpEndpoint m_endpoint;
    std::unique_ptr<Connection> m_connection;
    QByteArrayList m_extensions;
};
