#include "report/MailAddressList.h"

namespace {

// Collects one entry as display-name words and the text in angle brackets.
class EntryReader {
public:
    void addChar(QChar c) { m_word += c; }
    void endWord() {
        if (!m_word.isEmpty()) {
            m_words << m_word;
            m_word.clear();
        }
    }
    void addQuoted(const QString& text) {
        endWord();
        m_words << text;
        m_quoted = true;
    }
    void setAngle(const QString& text) {
        endWord();
        m_angle = text.trimmed();
        m_hasAngle = true;
    }
    // True when the entry held an address.
    bool finish(QList<MailAddress>& out) {
        endWord();
        MailAddress entry;
        if (m_hasAngle) {
            entry.address = m_angle;
            entry.name = m_words.join(QLatin1Char(' '));
        } else {
            // A bare address; words around it without brackets can only be a forgotten name.
            for (qsizetype i = m_words.size() - 1; i >= 0; --i) {
                if (m_words.at(i).contains(QLatin1Char('@'))) {
                    entry.address = m_words.takeAt(i);
                    entry.name = m_words.join(QLatin1Char(' '));
                    break;
                }
            }
            if (entry.address.isEmpty() && !m_quoted && m_words.size() == 1)
                entry.address = m_words.first(); // a local name; the server decides
        }
        const bool found = !entry.address.isEmpty();
        if (found)
            out << entry;
        *this = EntryReader();
        return found;
    }

private:
    QStringList m_words;
    QString m_word;
    QString m_angle;
    bool m_hasAngle = false;
    bool m_quoted = false;
};

} // namespace

QList<MailAddress> parseAddressList(const QString& text, QStringList* unusable) {
    QList<MailAddress> out;
    EntryReader entry;
    const qsizetype n = text.size();
    qsizetype i = 0;
    qsizetype entryStart = 0;
    // An entry that held something but no address is kept as typed for the caller to report.
    const auto endEntry = [&](qsizetype end) {
        const QString typed = text.mid(entryStart, end - entryStart).trimmed();
        if (!entry.finish(out) && !typed.isEmpty() && unusable)
            *unusable << typed;
        entryStart = end + 1;
    };
    while (i < n) {
        const QChar c = text.at(i);
        if (c == QLatin1Char(',') || c == QLatin1Char(';')) {
            endEntry(i);
            ++i;
        } else if (c == QLatin1Char('"')) {
            QString quoted;
            for (++i; i < n && text.at(i) != QLatin1Char('"'); ++i) {
                if (text.at(i) == QLatin1Char('\\') && i + 1 < n)
                    ++i;
                quoted += text.at(i);
            }
            ++i; // the closing quote, or past the end of an unclosed one
            entry.addQuoted(quoted);
        } else if (c == QLatin1Char('(')) {
            // A comment, possibly nested, with backslash escapes; it means nothing.
            int depth = 0;
            for (; i < n; ++i) {
                const QChar d = text.at(i);
                if (d == QLatin1Char('\\')) {
                    ++i;
                } else if (d == QLatin1Char('(')) {
                    ++depth;
                } else if (d == QLatin1Char(')') && --depth == 0) {
                    ++i;
                    break;
                }
            }
            entry.endWord();
        } else if (c == QLatin1Char('<')) {
            QString inside;
            for (++i; i < n && text.at(i) != QLatin1Char('>'); ++i) {
                if (!text.at(i).isSpace())
                    inside += text.at(i);
            }
            ++i;
            entry.setAngle(inside);
        } else if (c.isSpace()) {
            entry.endWord();
            ++i;
        } else {
            entry.addChar(c);
            ++i;
        }
    }
    endEntry(n);
    return out;
}
