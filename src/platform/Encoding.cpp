#include "platform/Encoding.h"

#include <QList>

#include <array>

namespace {
// The code points that Windows-1252 places at 0x80..0x9F (0 = unassigned).
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char encodeOne(uint cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF))
        return static_cast<char>(cp);
    for (std::size_t i = 0; i < kHighControls.size(); ++i)
        if (kHighControls[i] != 0 && kHighControls[i] == cp)
            return static_cast<char>(0x80 + i);
    return '?';
}
} // namespace

QByteArray Encoding::toWindows1252(const QString& text) {
    QByteArray out;
    out.reserve(text.size());
    const QList<uint> codePoints = text.toUcs4();
    for (uint cp : codePoints)
        out.append(encodeOne(cp));
    return out;
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
