#include "transfer/ArchiveRetention.h"

#include <algorithm>
#include <utility>

namespace {

// Exactly n ASCII digits from `from`; -1 otherwise.
int digits(const QString& text, qsizetype from, qsizetype n) {
    if (from < 0 || from + n > text.size())
        return -1;
    int value = 0;
    for (qsizetype i = from; i < from + n; ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return -1;
        value = value * 10 + int(c - u'0');
    }
    return value;
}

QString twoDigits(int n) {
    return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0'));
}

} // namespace

ArchiveRetention::ArchiveRetention(QString zipName, int keepWeekly, int keepMonthly)
    : m_zipName(std::move(zipName)), m_keepWeekly(std::max(0, keepWeekly)),
      m_keepMonthly(std::max(0, keepMonthly)) {}

QString ArchiveRetention::weeklyName(const QDate& day) const {
    int isoYear = 0;
    const int week = day.weekNumber(&isoYear);
    return m_zipName + QStringLiteral("-W%1-").arg(isoYear, 4, 10, QLatin1Char('0')) +
           twoDigits(week) + QStringLiteral(".ZIP");
}

QString ArchiveRetention::monthlyName(const QDate& day) const {
    return m_zipName + QStringLiteral("-M%1-").arg(day.year(), 4, 10, QLatin1Char('0')) +
           twoDigits(day.month()) + QStringLiteral(".ZIP");
}

ArchiveRetention::Kind ArchiveRetention::kindOf(const QString& name, int* stamp) const {
    // <ZIP name>-W2026-50.ZIP / <ZIP name>-M2026-12.ZIP: 13 characters after the ZIP name.
    const qsizetype n = m_zipName.size();
    if (m_zipName.isEmpty() || name.size() != n + 13 || !name.startsWith(m_zipName) ||
        name[n] != QLatin1Char('-') || name[n + 6] != QLatin1Char('-') ||
        !name.endsWith(QLatin1String(".ZIP")))
        return Kind::None;
    const int year = digits(name, n + 2, 4);
    const int number = digits(name, n + 7, 2);
    if (year < 0 || number < 1)
        return Kind::None;
    Kind kind = Kind::None;
    if (name[n + 1] == QLatin1Char('W') && number <= 53)
        kind = Kind::Weekly;
    else if (name[n + 1] == QLatin1Char('M') && number <= 12)
        kind = Kind::Monthly;
    if (kind != Kind::None && stamp)
        *stamp = year * 100 + number;
    return kind;
}

QStringList ArchiveRetention::toStore(const QDate& day, const QStringList& present) const {
    QStringList names;
    if (day.dayOfWeek() != 7)
        return names;
    if (m_keepWeekly > 0)
        names << weeklyName(day);
    if (m_keepMonthly > 0 && !present.contains(monthlyName(day)))
        names << monthlyName(day);
    return names;
}

QStringList ArchiveRetention::toRemove(const QStringList& present) const {
    QStringList names;
    for (const auto& [kind, keep] :
         {std::pair{Kind::Weekly, m_keepWeekly}, std::pair{Kind::Monthly, m_keepMonthly}}) {
        if (keep <= 0)
            continue;
        QList<std::pair<int, QString>> found;
        for (const QString& name : present) {
            int stamp = 0;
            if (kindOf(name, &stamp) == kind)
                found.append({stamp, name});
        }
        std::sort(found.begin(), found.end());
        found.erase(std::unique(found.begin(), found.end()), found.end());
        for (qsizetype i = 0; i + keep < found.size(); ++i)
            names << found[i].second;
    }
    return names;
}

ArchiveRetention::Plan ArchiveRetention::plan(const QDate& day, const QStringList& present) const {
    Plan p;
    p.store = toStore(day, present);
    QStringList after = present;
    for (const QString& name : p.store)
        if (!after.contains(name))
            after << name;
    p.remove = toRemove(after);
    return p;
}
