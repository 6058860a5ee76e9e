#include "platform/PlainFileName.h"

namespace {

// A character that would end or bend a log line: C0 and C1 controls (CR, LF, tab, escape …),
// DEL and the line and paragraph separators.
bool isControl(QChar c) {
    const QChar::Category category = c.category();
    return category == QChar::Other_Control || category == QChar::Separator_Line ||
           category == QChar::Separator_Paragraph;
}

} // namespace

bool isPlainFileName(const QString& name) {
    // Both separators on every system: a settings file travels between Windows and Linux.
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) ||
        name.contains(QLatin1String("..")))
        return false;
    for (const QChar c : name)
        if (isControl(c))
            return false;
    return true;
}

QString shownFileName(const QString& name) {
    QString shown;
    shown.reserve(name.size());
    for (const QChar c : name) {
        if (c == QChar(u'\0'))
            shown += QLatin1String("\\0");
        else if (c == QLatin1Char('\n'))
            shown += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            shown += QLatin1String("\\r");
        else if (c == QLatin1Char('\t'))
            shown += QLatin1String("\\t");
        else if (isControl(c))
            shown += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}
