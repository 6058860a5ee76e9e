#include "report/MailMessage.h"

#include <QRandomGenerator>

namespace {

const QByteArray kCrLf = QByteArrayLiteral("\r\n");
constexpr int kEncodedWordMax = 75; // RFC 2047's limit for one encoded word
constexpr int kFoldAt = 76;

// Every character ISO-8859-1 cannot hold becomes '?', as a mail client would send it.
QByteArray latin1(const QString& text) {
    return text.toLatin1();
}

bool isPlainAscii(const QByteArray& bytes) {
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u > 0x7e)
            return false;
    }
    return true;
}

// Encoded words "=?iso-8859-1?Q?...?=" for text, each within the RFC's length, separated by
// a folding CR LF and blank; blanks inside are kept as '_'.
QByteArray encodedWords(const QByteArray& text) {
    const QByteArray head = QByteArrayLiteral("=?iso-8859-1?Q?");
    const QByteArray tail = QByteArrayLiteral("?=");
    QList<QByteArray> words;
    QByteArray word;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        QByteArray piece;
        if (u == ' ')
            piece = "_";
        else if ((u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') ||
                 u == '!' || u == '*' || u == '+' || u == '-' || u == '/')
            piece = QByteArray(1, c);
        else
            piece = '=' + QByteArray::number(u, 16).rightJustified(2, '0').toUpper();
        if (head.size() + word.size() + piece.size() + tail.size() > kEncodedWordMax) {
            words << head + word + tail;
            word.clear();
        }
        word += piece;
    }
    if (!word.isEmpty() || words.isEmpty())
        words << head + word + tail;
    return words.join(kCrLf + ' ');
}

// The text as ISO-8859-1 lines; a line break inside an entry starts a line of its own.
QList<QByteArray> textLines(const QStringList& lines) {
    QList<QByteArray> out;
    for (const QString& entry : lines) {
        QString text = entry;
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        const QStringList parts = text.split(QLatin1Char('\n'));
        for (const QString& part : parts)
            out << latin1(part);
    }
    return out;
}

// The lines as they may travel unencoded: each split where it would pass SMTP's limit.
QByteArray wrappedText(const QList<QByteArray>& lines) {
    QByteArray out;
    for (const QByteArray& line : lines) {
        if (line.isEmpty())
            out += kCrLf;
        for (qsizetype at = 0; at < line.size(); at += MailFormat::MaxLineOctets)
            out += line.mid(at, MailFormat::MaxLineOctets) + kCrLf;
    }
    return out;
}

QByteArray messageId(const QString& senderAddress, const QDateTime& date) {
    QByteArray domain = latin1(senderAddress.section(QLatin1Char('@'), -1));
    if (!senderAddress.contains(QLatin1Char('@')) || domain.isEmpty() || !isPlainAscii(domain))
        domain = "orvelsqlbackup.invalid";
    const quint64 random = QRandomGenerator::system()->generate64();
    return '<' + QByteArray::number(date.toSecsSinceEpoch(), 36) + '.' +
           QByteArray::number(random, 36) + '@' + domain + '>';
}

QByteArray mailbox(const MailAddress& a) {
    const QByteArray address = '<' + latin1(a.address) + '>';
    if (a.name.isEmpty())
        return address;
    return MailFormat::displayName(a.name) + ' ' + address;
}

} // namespace

namespace MailFormat {

QByteArray newBoundary() {
    // "=_" never occurs in quoted-printable text; the random part keeps it out of the preamble.
    QByteArray random;
    for (int i = 0; i < 3; ++i)
        random += QByteArray::number(QRandomGenerator::system()->generate64(), 16)
                      .rightJustified(16, '0');
    return QByteArrayLiteral("=_OrvelSQLBackup_") + random;
}

QByteArray displayName(const QString& name) {
    const QByteArray bytes = latin1(name);
    if (!isPlainAscii(bytes))
        return encodedWords(bytes);
    static const QByteArray specials = QByteArrayLiteral("()<>[]:;@\\,.\"");
    bool needsQuotes = bytes.isEmpty() || bytes.startsWith(' ') || bytes.endsWith(' ');
    for (char c : bytes)
        needsQuotes = needsQuotes || specials.contains(c);
    if (!needsQuotes)
        return bytes;
    QByteArray quoted = "\"";
    for (char c : bytes) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + '"';
}

QByteArray headerText(const QString& text, int nameLength) {
    const QByteArray bytes = latin1(text);
    // Plain when a reader gets it back unchanged: ASCII, no blank at its ends, one short line.
    if (isPlainAscii(bytes) && !bytes.startsWith(' ') && !bytes.endsWith(' ') &&
        nameLength + 2 + bytes.size() <= kFoldAt)
        return bytes;
    return encodedWords(bytes);
}

QByteArray quotedPrintable(const QByteArray& text) {
    QByteArray out;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        QByteArray line = lines.at(n);
        if (line.endsWith('\r'))
            line.chop(1);
        QByteArray encoded;
        int column = 0;
        for (qsizetype i = 0; i < line.size(); ++i) {
            const auto u = static_cast<unsigned char>(line.at(i));
            const bool last = i + 1 == line.size();
            QByteArray piece;
            if ((u >= 33 && u <= 126 && u != '=') || ((u == ' ' || u == '\t') && !last))
                piece = QByteArray(1, char(u));
            else
                piece = '=' + QByteArray::number(u, 16).rightJustified(2, '0').toUpper();
            // A soft break keeps every line within 76 characters, the '=' included.
            if (column + piece.size() > kFoldAt - 1) {
                encoded += "=\r\n";
                column = 0;
            }
            encoded += piece;
            column += int(piece.size());
        }
        out += encoded;
        if (n + 1 < lines.size())
            out += kCrLf;
    }
    return out;
}

QByteArray compose(const MailMessage& message, const QByteArray& boundary) {
    const QList<QByteArray> lines = textLines(message.lines);
    bool eightBit = false;
    for (const QByteArray& line : lines)
        eightBit = eightBit || !isPlainAscii(line);

    QList<QByteArray> to;
    for (const MailAddress& a : message.recipients)
        to << mailbox(a);

    QByteArray m;
    m += "Date: " + message.date.toString(Qt::RFC2822Date).toLatin1() + kCrLf;
    m += "From: " + mailbox(MailAddress{message.senderName, message.senderAddress}) + kCrLf;
    if (!to.isEmpty())
        m += "To: " + to.join(QByteArray(",") + kCrLf + ' ') + kCrLf;
    m += "Subject: " + headerText(message.subject, 7) + kCrLf;
    m += "Message-ID: " + messageId(message.senderAddress, message.date) + kCrLf;
    m += "MIME-Version: 1.0" + kCrLf;
    m += "Content-Type: multipart/mixed; charset=\"iso-8859-1\";" + kCrLf + " boundary=\"" +
         boundary + '"' + kCrLf;
    m += QByteArray("Content-Transfer-Encoding: ") + (eightBit ? "8bit" : "7bit") + kCrLf;
    m += kCrLf;
    // The preamble: mail readers hide it, a plain reader of the raw mail sees the text.
    m += wrappedText(lines);
    m += kCrLf + "--" + boundary + kCrLf;
    m += "Content-Type: text/plain; charset=\"iso-8859-1\"" + kCrLf;
    m += "Content-Transfer-Encoding: quoted-printable" + kCrLf;
    m += kCrLf;
    m += quotedPrintable(lines.join(kCrLf) + kCrLf);
    m += kCrLf + "--" + boundary + "--" + kCrLf;
    return m;
}

} // namespace MailFormat
