#include "platform/Encoding.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <iconv.h>
#include <locale.h>

namespace {
// The code points that Windows-1252 places at 0x80..0x9F (0 = unassigned).
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// The byte of a character Windows-1252 holds, or -1.
int directByte(char32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF))
        return int(cp);
    // The five unassigned bytes stand for their own code points, as fromWindows1252 reads them.
    if (cp >= 0x80 && cp < 0xA0 && kHighControls[cp - 0x80] == 0)
        return int(cp);
    if (cp < 0x152 || cp > 0x2122)
        return -1;
    for (std::size_t i = 0; i < kHighControls.size(); ++i)
        if (kHighControls[i] == cp)
            return int(0x80 + i);
    return -1;
}

// Letters that have no decomposition into a base letter and a mark, so the fallback below
// cannot find their base letter on its own.
struct Plain {
    char16_t letter;
    char base;
};
constexpr std::array<Plain, 12> kStrokeLetters = {{{0x0110, 'D'},
                                                   {0x0111, 'd'},
                                                   {0x0126, 'H'},
                                                   {0x0127, 'h'},
                                                   {0x0131, 'i'},
                                                   {0x013F, 'L'},
                                                   {0x0140, 'l'},
                                                   {0x0141, 'L'},
                                                   {0x0142, 'l'},
                                                   {0x0166, 'T'},
                                                   {0x0167, 't'},
                                                   {0x0138, 'q'}}};

// Used when iconv has no answer (no C.UTF-8 locale): the character's Unicode decomposition
// without its marks (ő → o, ș → s, ﬁ → fi), or a stroke letter's base. Empty when neither helps.
QByteArray ownTransliteration(char32_t cp) {
    for (const Plain& p : kStrokeLetters)
        if (p.letter == cp)
            return QByteArray(1, p.base);
    const QString parts = QChar::decomposition(cp);
    QByteArray out;
    for (const QChar c : parts) {
        const int byte = directByte(c.unicode());
        if (byte >= 0)
            out.append(char(byte));
        else if (!c.isMark())
            return {};
    }
    return out;
}

// iconv's transliteration into Windows-1252, made independent of the process's locale:
// glibc takes its transliteration table from LC_CTYPE, and the "C" locale has almost none.
// One per thread, as an iconv descriptor must not be used by two threads at once.
class Transliterator {
public:
    Transliterator() {
        for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
            m_locale = newlocale(LC_CTYPE_MASK, name, locale_t(nullptr));
            if (m_locale)
                break;
        }
        const LocaleScope scope(m_locale);
        m_cd = iconv_open("WINDOWS-1252//TRANSLIT", "UTF-32LE");
    }
    ~Transliterator() {
        if (m_cd != iconv_t(-1))
            iconv_close(m_cd);
        if (m_locale)
            freelocale(m_locale);
    }
    Transliterator(const Transliterator&) = delete;
    Transliterator& operator=(const Transliterator&) = delete;

    // The bytes that stand for one character Windows-1252 does not hold.
    QByteArray standIn(char32_t cp) {
        QByteArray result = viaIconv(cp);
        if (result == "?" || result.isNull()) {
            const QByteArray own = ownTransliteration(cp);
            if (!own.isEmpty())
                result = own;
        }
        return result.isNull() ? QByteArrayLiteral("?") : result;
    }

private:
    struct LocaleScope {
        explicit LocaleScope(locale_t l) : previous(l ? uselocale(l) : locale_t(nullptr)) {}
        ~LocaleScope() {
            if (previous)
                uselocale(previous);
        }
        locale_t previous;
    };

    // iconv's bytes for the character (possibly empty: a zero-width character), or a null
    // array when it has none.
    QByteArray viaIconv(char32_t cp) {
        if (m_cd == iconv_t(-1))
            return {};
        const LocaleScope scope(m_locale);
        char in[4] = {char(cp & 0xFF), char((cp >> 8) & 0xFF), char((cp >> 16) & 0xFF),
                      char((cp >> 24) & 0xFF)};
        char buffer[64];
        char* inPtr = in;
        size_t inLeft = sizeof in;
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        const size_t rc = iconv(m_cd, &inPtr, &inLeft, &outPtr, &outLeft);
        // Back to the initial state, so that a failure here never affects the next character.
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        if (rc == size_t(-1) || inLeft != 0)
            return {};
        return QByteArray(buffer, outPtr - buffer);
    }

    locale_t m_locale = locale_t(nullptr);
    iconv_t m_cd = iconv_t(-1);
};

// Writes into a buffer of one byte per UTF-16 unit, grown only when a stand-in is longer
// than the character: the log book converts every line, nearly always without any stand-in.
QByteArray encode(const QString& text, bool normalized) {
    const qsizetype n = text.size();
    const QChar* in = text.constData();
    QByteArray out(n, Qt::Uninitialized);
    char* p = out.data();
    qsizetype k = 0;
    for (qsizetype i = 0; i < n; ++i) {
        char32_t cp = in[i].unicode();
        if (cp < 0x80) {
            p[k++] = char(cp);
            continue;
        }
        if (QChar::isHighSurrogate(cp) && i + 1 < n && in[i + 1].isLowSurrogate()) {
            cp = QChar::surrogateToUcs4(in[i].unicode(), in[i + 1].unicode());
            ++i;
        }
        const int byte = directByte(cp);
        if (byte >= 0) {
            p[k++] = char(byte);
            continue;
        }
        // "e" + combining acute is é, which Windows-1252 holds: compose before transliterating.
        if (!normalized) {
            const QString composed = text.normalized(QString::NormalizationForm_C);
            if (composed != text)
                return encode(composed, true);
            normalized = true;
        }
        static thread_local Transliterator transliterator;
        const QByteArray standIn = transliterator.standIn(cp);
        const qsizetype needed = k + standIn.size() + (n - i - 1);
        if (needed > out.size()) {
            out.resize(needed);
            p = out.data();
        }
        std::copy(standIn.begin(), standIn.end(), p + k);
        k += standIn.size();
    }
    out.truncate(k);
    return out;
}
} // namespace

QByteArray Encoding::toWindows1252(const QString& text) {
    return encode(text, false);
}

QString Encoding::fromWindows1252(const QByteArray& bytes) {
    QString out(bytes.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        const char16_t high = b >= 0x80 && b < 0xA0 ? kHighControls[b - 0x80] : 0;
        out[i] = QChar(high != 0 ? high : char16_t(b));
    }
    return out;
}
